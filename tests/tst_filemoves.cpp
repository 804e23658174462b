// What the commit rests on, on real files: a look at a path that never follows a link, removal that
// never leaves the tree, renames that never overwrite, flushes that never create, and the lock.

#include "filemoves.h"
#include "testsupport.h"
#include "updatelock.h"

static const bool windows = QSysInfo::productType() == "windows";

class TestFileMoves : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;
    QString at(const QString& path) { return tmp.filePath(path); }

private slots:
    void entries()
    {
        QVERIFY(TestSupport::writeFile(at("outside/kept.txt"), "kept")
            && TestSupport::writeFile(at("tree/read-only.txt"), "12345")
            && QFile::setPermissions(at("tree/read-only.txt"), QFile::ReadOwner)
            && QFile::link(at("outside"), at("tree/start.lnk")));
        const FileMoves::Entry file = FileMoves::entryAt(at("tree/read-only.txt"));
        QVERIFY(file.isPlainFile() && file.readOnly && file.size == 5);
        QVERIFY(FileMoves::entryAt(at("tree")).isDir && !FileMoves::entryAt(at("none")).exists);
        // A link is itself; a Windows shortcut is a file, whatever it points to.
        const FileMoves::Entry link = FileMoves::entryAt(at("tree/start.lnk"));
        QVERIFY(link.exists && link.isLink != windows && link.isPlainFile() == windows);
        QCOMPARE(FileMoves::removeLinks(at("tree")),
            windows ? QStringList() : QStringList {at("tree/start.lnk")});
        QVERIFY(QFileInfo::exists(at("tree/read-only.txt")));
        QVERIFY(FileMoves::removeTree(at("tree")));
        QVERIFY(!QFileInfo::exists(at("tree")) && QFileInfo::exists(at("outside/kept.txt")));
    }

    void moves()
    {
        const QString deep = at(QString("long/%1/%1/%1/file.txt").arg(QString(100, 'd')));
        QVERIFY(
            TestSupport::writeFile(at("a.txt"), "a") && TestSupport::writeFile(at("b.txt"), "b"));
        QString error;
        QVERIFY(!FileMoves::move(at("a.txt"), at("b.txt"), &error, 0) && !error.isEmpty());
        QCOMPARE(TestSupport::readAll(at("b.txt")), "b");
        // Past the 260 characters of a plain Win32 path.
        QVERIFY2(FileMoves::move(at("a.txt"), deep, &error, 0), qPrintable(error));
        QVERIFY(FileMoves::move(deep, at("a.txt"), &error, 0));
        // A file gone is not flushed into being again.
        QCOMPARE(FileMoves::flush(tmp.path(), tmp.path(), {"gone.txt"}, &error), !windows);
        QVERIFY(!QFileInfo::exists(at("gone.txt")));
    }

    void lock()
    {
        UpdateLock first(at("updateStaging.lock")), second(at("updateStaging.lock"));
        QCOMPARE(first.tryLock(), UpdateLock::Locked);
        QCOMPARE(second.tryLock(), UpdateLock::Held);
        first.unlock();
        QCOMPARE(second.tryLock(), UpdateLock::Locked);
        QVERIFY(QFileInfo::exists(at("updateStaging.lock")));
        // Anything but another holder is a failure, with its reason.
        UpdateLock folder(tmp.path());
        QVERIFY(folder.tryLock() == UpdateLock::Failed && !folder.error().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFileMoves)
#include "tst_filemoves.moc"
