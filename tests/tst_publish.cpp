// update-publish run on a server tree in a temporary folder (1.0.10 after 1.0.9: a patch release
// that only numbers, not text, put after the one before). A tree it writes is installed by the real
// signed updater in tst_e2e.

#include "testsupport.h"

class TestPublish : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> tmp;
    QString root, release; // release: the files of 1.0.10
    QMap<QString, QByteArray> files;
    QStringList locked;
    const bool links = QSysInfo::productType() != "windows"; // QFile::link makes a shortcut there
    int code = -1; // of the last publish, also after a crash or a hang
    QString out, err;

    void publish(const QStringList& arguments)
    {
        QProcess tool;
        tool.start(UPDATE_PUBLISH_PATH, arguments,
            QIODevice::ReadOnly | QIODevice::Text); // CR LF on Windows
        code = tool.waitForFinished(180000) && tool.exitStatus() == QProcess::NormalExit
            ? tool.exitCode()
            : -1;
        out = tool.readAllStandardOutput(), err = tool.readAllStandardError();
    }
    QString tree(const QString& path) const { return root + "/packages/" + path; }
    QJsonValue json(const QString& path, const QString& key) const
    {
        return QJsonDocument::fromJson(TestSupport::readAll(tree(path))).object()[key];
    }
    // The entry a publish appended: version, kind, reason, and a time of about now.
    void checkEntry(int index, const QString& version, bool enforce, const QString& reason)
    {
        QJsonObject entry = json("update.json", "updateList").toArray().at(index).toObject();
        const QString time = entry.take("updateTime").toString();
        const QDateTime at = QDateTime::fromString(time, "yyyy-MM-dd hh:mm:ss");
        QVERIFY2(qAbs(at.secsTo(QDateTime::currentDateTime())) < 60, qPrintable(time));
        QCOMPARE(entry,
            (QJsonObject {{"version", version}, {"updateType", int(enforce)}, {"reason", reason}}));
    }

private slots:
    // 1.0.9 is published, with a file reached through a link; 1.0.10 changes readme.txt.
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        root = tmp->filePath("server"), release = tmp->filePath("1.0.10");
        const QString first = tmp->filePath("1.0.9");
        files = {{"readme.txt", "Tavrix 1.0\n"}, {"data/sub/config.ini", "level=3\n"},
            {".settings", "x"}, {"lib/core.dll", QByteArray("\0\r\n\x1a\xff", 5).repeated(14000)},
            {"docs/manual.txt", "through a link\n"}};
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(TestSupport::writeFile(release + '/' + it.key(), it.value())
                && (it.key() == "docs/manual.txt"
                    || TestSupport::writeFile(first + '/' + it.key(), it.value())));
        QVERIFY(QDir().mkpath(root) && QDir().mkpath(first + "/docs")
            && (links ? QFile::link(release + "/docs/manual.txt", first + "/docs/manual.txt")
                      : QFile::copy(release + "/docs/manual.txt", first + "/docs/manual.txt")));
        publish({"--root", root, "--version", "1.0.9", first});
        QVERIFY2(code == 0 && !err.contains("warning"), qPrintable(err));
        QCOMPARE(json("version/1.0.9.json", "value").toVariant().toStringList(), files.keys());
        QVERIFY(json("version/1.0.9.json", "follows").isNull()); // not a missing key
        for (auto it = files.cbegin(); it != files.cend(); ++it) // a link's file, not the link
            QVERIFY2(TestSupport::snapshot(tree("bin")).value(it.key()) == it.value(),
                qPrintable(it.key()));
        checkEntry(0, "1.0.9", false, "");
        // No staging folder is left, and keys the tool does not know stay.
        QCOMPARE(QDir(root + "/packages")
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            (QStringList {"bin", "update.json", "version"}));
        const QByteArray list = TestSupport::readAll(tree("update.json"));
        QVERIFY(TestSupport::writeFile(
            tree("update.json"), list.left(list.lastIndexOf('}')) + R"(, "channel": "stable"})"));
        QVERIFY(
            TestSupport::writeFile(release + "/readme.txt", files["readme.txt"] = "Tavrix 1.1\n"));
    }

    void cleanup()
    {
        for (const QString& path : qAsConst(locked))
            TestSupport::chattr("-i", path);
        locked.clear();
    }

    // Rows of tests/data/publish.json: the arguments (a bare version stands for the usual command
    // line, then any more); the setup, ';'-separated: put:PATH[=TEXT], del:PATH, link:PATH=TARGET,
    // lock:PATH (chattr +i), case (names differ in case); what standard error says, '|'-separated;
    // the exit code; the manifest of 1.0.10.
    void secondRelease_data() { TestSupport::jsonRows("publish.json", "second release"); }

    void secondRelease()
    {
        QFETCH(QJsonArray, row);
        const int exitCode = row[4].toInt();
        const auto fill = [this](QString text) {
            return text.replace("{bin}", tree("bin"))
                .replace("{list}", tree("update.json"))
                .replace("{root}", root)
                .replace("{release}", release)
                .replace("{tmp}", tmp->path());
        };
        for (const QString& item : row[2].toString().split(';', Qt::SkipEmptyParts)) {
            const QString kind = item.section(':', 0, 0), rest = fill(item.section(':', 1));
            const QString path = rest.section('=', 0, 0),
                          value = rest.contains('=') ? rest.section('=', 1) : "x\n";
            if (kind == "lock" && !TestSupport::chattr("+i", (locked << path).last()))
                QSKIP("chattr +i is not available here");
            if (kind == "case" && QFileInfo::exists(tmp->path().toUpper()))
                QSKIP("this file system does not tell letter case apart");
            if (kind == "link" && !links)
                QSKIP("no symbolic links: QFile::link makes a Windows shortcut, and Wine makes no "
                      "links");
            QVERIFY(kind == "put"    ? TestSupport::writeFile(path, value.toUtf8())
                    : kind == "del"  ? QFile::remove(path)
                    : kind == "link" ? QFile::link(value, path)
                                     : true);
        }
        QStringList args = row[1].toString().split(' ');
        if (!args.first().startsWith("--"))
            args = QStringList {"--root", "{root}", "--version", args.first(), "{release}"}
                + args.mid(1);
        for (QString& arg : args)
            arg = fill(arg);
        const auto before = TestSupport::snapshot(tmp->path());
        publish(args);
        // A refusal is one line and leaves everything as it was.
        QVERIFY2(code == exitCode && out.isEmpty() == (code != 0)
                && (code != 1 || !err.trimmed().contains('\n')),
            qPrintable(err));
        for (const QString& message : row[3].toString().split('|', Qt::SkipEmptyParts))
            QVERIFY2(err.contains(message), qPrintable(message + "\n--\n" + err));
        if (code != 0) {
            QCOMPARE(TestSupport::snapshot(tmp->path()), before);
            return;
        }
        const bool enforce = args.contains("--enforce");
        const int reason = args.indexOf("--reason");
        const QStringList listed = row[5].toString().split(' ', Qt::SkipEmptyParts);
        QCOMPARE(json("version/1.0.10.json", "value").toVariant().toStringList(), listed);
        QCOMPARE(json("version/1.0.10.json", "files").toObject().keys(), listed);
        QVERIFY(json("version/1.0.10.json", "follows") == "1.0.9");
        checkEntry(1, "1.0.10", enforce, reason < 0 ? QString() : args.value(reason + 1));
        QVERIFY(json("update.json", "channel") == "stable");
        QVERIFY2(
            out.startsWith(
                QString("Published 1.0.10 (%1 update)").arg(enforce ? "enforced" : "optional")),
            qPrintable(out));
        // Listed files are copied, skipped ones are not, and nothing is deleted.
        const auto bin = TestSupport::snapshot(tree("bin")), given = TestSupport::snapshot(release);
        for (const QString& path : files.keys() + given.keys())
            QVERIFY2(given.value(path) == "folder"
                    || (bin.contains(path) == (files.contains(path) || listed.contains(path))
                        && (!listed.contains(path) || bin.value(path) == given.value(path))),
                qPrintable(path));
    }
};

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
