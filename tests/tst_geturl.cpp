#include "getUrl.h"
#include "testsupport.h"

#include <QtTest>

static const QString tool = QStringLiteral("updateCurl.exe");

// True while any process runs from below dir (Linux: /proc/*/cmdline).
static bool anyProcessRunsFrom(const QString &dir)
{
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        if (QFile cmdline(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
            cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().startsWith(dir.toLocal8Bit()))
            return true;
    return false;
}

class TestGetUrl : public QObject
{
    Q_OBJECT
private slots:
    void reportsWhatTheToolPrinted_data();
    void reportsWhatTheToolPrinted();
    void timeoutKillsAndReportsOnce();
    void missingToolFailsWithoutWaitingForTheTimeout();
    void toolFoundInTheUpdaterFolderFirst();

private:
    QTemporaryDir dir;
};

void TestGetUrl::reportsWhatTheToolPrinted_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("prints_exits_0") << QByteArray(R"({"updateList":[]})") << 0;
    QTest::newRow("prints_exits_1") << QByteArray("<html>404</html>") << 1;
    QTest::newRow("non_ascii_utf8") << QByteArray("{\"reason\":\"修复问题 ünd mehr\"}") << 0;
    QTest::newRow("large") << QByteArray(3 * 1024 * 1024, 'x') << 0;
}

void TestGetUrl::reportsWhatTheToolPrinted()
{
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QVERIFY(TestSupport::writeFile(dir.filePath(QStringLiteral("out.bin")), output));
    QVERIFY(TestSupport::installFakeProgram(
        dir.path(), tool, {QStringLiteral("print-file out.bin"), QStringLiteral("exit %1").arg(exitCode)}));
    getUrl fetcher;
    fetcher.setProgramDir(dir.path());
    QSignalSpy end(&fetcher, &getUrl::getEnd);
    fetcher.get(QStringLiteral("http://127.0.0.1:9/packages/update.json"), 60000);
    QVERIFY(end.wait(30000));
    QCOMPARE(end.count(), 1);
    QCOMPARE(end.first().at(0).toBool(), true);
    QCOMPARE(end.first().at(1).toByteArray(), output);
}

void TestGetUrl::timeoutKillsAndReportsOnce()
{
    QVERIFY(TestSupport::installFakeProgram(dir.path(), tool,
                                            {QStringLiteral("print early"), QStringLiteral("sleep 60000")}));
    getUrl fetcher;
    fetcher.setProgramDir(dir.path());
    QSignalSpy end(&fetcher, &getUrl::getEnd);
    fetcher.get(QStringLiteral("http://127.0.0.1:9/x"), 300);
    QVERIFY(end.wait(30000));
    QCOMPARE(end.first().at(0).toBool(), false);
    QCOMPARE(end.first().at(1).toByteArray(), QByteArray());
    QTRY_VERIFY_WITH_TIMEOUT(!anyProcessRunsFrom(dir.path()), 10000);
    // The killed tool's end must not bring a second report.
    QVERIFY(!end.wait(1000));
    QCOMPARE(end.count(), 1);
}

void TestGetUrl::missingToolFailsWithoutWaitingForTheTimeout()
{
    getUrl fetcher;
    fetcher.setProgramDir(dir.filePath(QStringLiteral("nothing")));
    QSignalSpy end(&fetcher, &getUrl::getEnd);
    QElapsedTimer timer;
    timer.start();
    fetcher.get(QStringLiteral("http://127.0.0.1:9/x"), 120000);
    // Reported on a later turn of the event loop, never inside get().
    QCOMPARE(end.count(), 0);
    QVERIFY(end.wait(30000));
    QVERIFY(timer.elapsed() < 60000);
    QCOMPARE(end.count(), 1);
    QCOMPARE(end.first().at(0).toBool(), false);
}

void TestGetUrl::toolFoundInTheUpdaterFolderFirst()
{
    const QString own = dir.filePath(QStringLiteral("own"));
    const QString onPath = dir.filePath(QStringLiteral("onpath"));
    QVERIFY(TestSupport::installFakeProgram(own, tool, {}));
    QVERIFY(TestSupport::installFakeProgram(onPath, tool, {}));
    const QByteArray oldPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(onPath) + ':' + oldPath);
    const QString first = findProgram(tool, own);
    const QString second = findProgram(tool, dir.filePath(QStringLiteral("empty")));
    const QString none = findProgram(QStringLiteral("no-such-program.exe"), own);
    qputenv("PATH", oldPath);
    QCOMPARE(first, QDir(own).absoluteFilePath(tool));
    QCOMPARE(second, QDir(onPath).absoluteFilePath(tool));
    QCOMPARE(none, QStringLiteral("no-such-program.exe"));
}

QTEST_GUILESS_MAIN(TestGetUrl)
#include "tst_geturl.moc"
