#include "testsupport.h"
#include "zelkorversion.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include <memory>

namespace {

const QString logName = QStringLiteral("updateLog.txt");

// Log messages without their time stamps.
QStringList logMessages(const QString &dir)
{
    QFile file(dir + QLatin1Char('/') + logName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList messages;
    QTextStream stream(&file);
    while (!stream.atEnd())
        messages << stream.readLine().mid(22);
    return messages;
}

bool chattr(const QString &flag, const QString &path)
{
    return QProcess::execute(QStringLiteral("chattr"), {flag, path}) == 0;
}

} // namespace

class TestWorker : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void installedVersion_data();
    void installedVersion();
    void checkCommandRunsOnTheWorkerThread();
    void destructorReturnsPromptlyWhileIdle();
    void evaluation_data();
    void evaluation();
    void resultAfterFailureCountsAsFailed();
    void writeVersion_data();
    void writeVersion();
    void writeVersionKeepsAnUnreplaceableFile();

private:
    // Starts a worker whose fetch tool runs script; by default the tool
    // hangs, so no result arrives during the test.
    std::unique_ptr<ZelkorVersion> startWorker(
        const QStringList &script = {QStringLiteral("sleep 60000")});
    // A script that prints listJson as the update list.
    QStringList printing(const QByteArray &listJson, int exitCode = 0);
    QString appDir() const { return dir->path() + QStringLiteral("/app"); }

    std::unique_ptr<QTemporaryDir> dir;
    QString previousDir;
};

void TestWorker::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    QVERIFY(QDir().mkpath(appDir()));
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
}

void TestWorker::cleanup()
{
    QDir::setCurrent(previousDir);
    const QString version = appDir() + QStringLiteral("/version");
    if (QFileInfo(version).isFile())
        chattr(QStringLiteral("-i"), version);
    dir.reset();
}

QStringList TestWorker::printing(const QByteArray &listJson, int exitCode)
{
    if (!TestSupport::writeFile(appDir() + QStringLiteral("/list.json"), listJson))
        return {QStringLiteral("exit 99")};
    return {QStringLiteral("print-file list.json"), QStringLiteral("exit %1").arg(exitCode)};
}

std::unique_ptr<ZelkorVersion> TestWorker::startWorker(const QStringList &script)
{
    QString error;
    if (!TestSupport::installFakeProgram(appDir(), QStringLiteral("updateCurl.exe"), script,
                                         &error)) {
        qWarning() << error;
        return nullptr;
    }
    ZelkorVersion::Options options;
    options.appDir = appDir();
    options.serverUrl = QStringLiteral("http://127.0.0.1:9");
    auto worker = std::make_unique<ZelkorVersion>(nullptr, options);
    worker->init();
    return worker;
}

void TestWorker::installedVersion_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    QTest::newRow("missing") << false << QByteArray() << "0.0.0";
    QTest::newRow("plain") << true << QByteArray("1.2.3") << "1.2.3";
    QTest::newRow("crlf_at_end") << true << QByteArray("1.2.3\r\n") << "1.2.3";
    QTest::newRow("empty") << true << QByteArray() << "0.0.0";
    QTest::newRow("partly_parsed") << true << QByteArray("2.x.1") << "2.0.0";
    QTest::newRow("four_numbers") << true << QByteArray("1.2.3.4") << "0.0.0";
    QTest::newRow("ends_at_nul") << true << QByteArray("3.4.5\0garbage", 13) << "3.4.5";
    QTest::newRow("utf8_bom_skipped") << true << QByteArray("\xEF\xBB\xBF" "1.2.3") << "1.2.3";
}

void TestWorker::installedVersion()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    if (present)
        QVERIFY(TestSupport::writeFile(appDir() + QStringLiteral("/version"), content));
    auto worker = startWorker();
    QVERIFY(worker);
    QCOMPARE(worker->installedVersion().versionString(), expected);
    QCOMPARE(worker->installDir(), appDir());
    // Reading the version file never writes to the log.
    QCOMPARE(logMessages(dir->path()), QStringList());
}

void TestWorker::checkCommandRunsOnTheWorkerThread()
{
    // A folder where the version file should be cannot be opened.
    QVERIFY(QDir().mkpath(appDir() + QStringLiteral("/version")));
    auto worker = startWorker();
    QVERIFY(worker);
    QCOMPARE(worker->installedVersion().versionString(), QStringLiteral("0.0.0"));

    worker->doCheckVersion();
    QTRY_COMPARE(logMessages(dir->path()).size(), 3);
    const QStringList messages = logMessages(dir->path());
    QVERIFY2(messages.at(0).startsWith(QStringLiteral("本地版本信息文件打开失败:") + appDir()
                                       + QStringLiteral("/version ")),
             qPrintable(messages.at(0)));
    QVERIFY(messages.at(0).size() > appDir().size() + 22);
    QCOMPARE(messages.at(1), QStringLiteral("版本检测"));
    QCOMPARE(messages.at(2), QStringLiteral("版本检测线程：版本检测"));
    QTRY_COMPARE(worker->state(), int(ZelkorVersion::Idle));

    worker.reset();
    QCOMPARE(logMessages(dir->path()).constLast(), QStringLiteral("版本检测线程停止"));
}

void TestWorker::destructorReturnsPromptlyWhileIdle()
{
    auto worker = startWorker();
    QVERIFY(worker);
    QTRY_VERIFY(worker->isRunning());
    QElapsedTimer timer;
    timer.start();
    worker.reset();
    // One idle pause is 100 ms; a generous bound for a busy machine.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
}

void TestWorker::evaluation_data()
{
    QTest::addColumn<QByteArray>("installed"); // empty: no version file
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("code"); // -1: the failure path
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<QStringList>("versions");
    QTest::addColumn<QString>("newVersion");

    const QString empty = QStringLiteral("无需更新：更新列表为空");
    const QString newest = QStringLiteral("无需更新：当前版本为最新");
    const QString optional = QStringLiteral("发现新版本:不强制更新");
    const QString enforced = QStringLiteral("发现新版本:强制更新");

    QTest::newRow("not_json") << QByteArray("1.0.0") << QByteArray("<html>oops</html>") << 0 << 0
                              << empty << QStringList() << QString();
    QTest::newRow("top_level_array") << QByteArray("1.0.0") << QByteArray(R"([{"version":"2.0.0"}])")
                                     << 0 << 0 << empty << QStringList() << QString();
    QTest::newRow("list_is_object")
        << QByteArray("1.0.0") << QByteArray(R"({"updateList":{"version":"2.0.0"}})") << 0 << 0
        << empty << QStringList() << QString();
    QTest::newRow("list_empty") << QByteArray("1.0.0") << QByteArray(R"({"updateList":[]})") << 0
                                << 0 << empty << QStringList() << QString();
    QTest::newRow("nothing_newer")
        << QByteArray("1.2.3")
        << QByteArray(R"({"updateList":[{"version":"1.2.3","updateType":1},{"version":"1.0.0"}]})")
        << 0 << 0 << newest << QStringList() << QString();
    QTest::newRow("ascending_and_enforced")
        << QByteArray("1.2.3")
        << QByteArray(R"({"updateList":[{"version":"1.3.0","updateType":0},)"
                      R"({"version":"2.0.0","updateType":0},{"version":"1.2.4","updateType":1}]})")
        << 0 << 2 << enforced
        << QStringList{QStringLiteral("1.2.4"), QStringLiteral("1.3.0"), QStringLiteral("2.0.0")}
        << "2.0.0";
    QTest::newRow("none_enforced")
        << QByteArray("1.2.3")
        << QByteArray(R"({"updateList":[{"version":"1.3.0","updateType":0},)"
                      R"({"version":"2.0.0","updateType":0},{"version":"1.2.4","updateType":0}]})")
        << 0 << 1 << optional
        << QStringList{QStringLiteral("1.2.4"), QStringLiteral("1.3.0"), QStringLiteral("2.0.0")}
        << "2.0.0";
    QTest::newRow("duplicate_first_wins")
        << QByteArray("1.0.0")
        << QByteArray(R"({"updateList":[{"version":"2.0.0","updateType":0},)"
                      R"({"version":"2.0.0","updateType":1}]})")
        << 0 << 1 << optional << QStringList{QStringLiteral("2.0.0")} << "2.0.0";
    QTest::newRow("old_enforced_entry_does_not_count")
        << QByteArray("2.0.0")
        << QByteArray(R"({"updateList":[{"version":"1.0.0","updateType":1},)"
                      R"({"version":"3.0.0","updateType":0}]})")
        << 0 << 1 << optional << QStringList{QStringLiteral("3.0.0")} << "3.0.0";
    QTest::newRow("bad_entries_dropped")
        << QByteArray("1.0.0")
        << QByteArray(R"({"updateList":[{"version":"1.5"},{"version":1.5},5,"2.0.0",)"
                      R"({"version":"x.1.1","updateType":1},{"version":"1.10.0"}]})")
        << 0 << 1 << optional << QStringList{QStringLiteral("1.10.0")} << "1.10.0";
    QTest::newRow("no_version_file")
        << QByteArray() << QByteArray(R"({"updateList":[{"version":"0.0.1"},{"version":"-1.0.0"}]})")
        << 0 << 1 << optional << QStringList{QStringLiteral("0.0.1")} << "0.0.1";
    QTest::newRow("tool_exit_code_ignored")
        << QByteArray("1.0.0") << QByteArray(R"({"updateList":[{"version":"1.0.1"}]})") << 1 << 1
        << optional << QStringList{QStringLiteral("1.0.1")} << "1.0.1";
    QTest::newRow("non_ascii_reason")
        << QByteArray("1.0.0")
        << QByteArray(R"({"updateList":[{"version":"1.1.0","updateType":1,"reason":"修复"}]})") << 0
        << 2 << enforced << QStringList{QStringLiteral("1.1.0")} << "1.1.0";
}

void TestWorker::evaluation()
{
    QFETCH(QByteArray, installed);
    QFETCH(QByteArray, list);
    QFETCH(int, exitCode);
    QFETCH(int, code);
    QFETCH(QString, logLine);
    QFETCH(QStringList, versions);
    QFETCH(QString, newVersion);

    if (!installed.isEmpty())
        QVERIFY(TestSupport::writeFile(appDir() + QStringLiteral("/version"), installed));
    auto worker = startWorker(printing(list, exitCode));
    QVERIFY(worker);
    QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
    QSignalSpy end(worker.get(), &ZelkorVersion::sigMsgUpdateEnd);
    QSignalSpy error(worker.get(), &ZelkorVersion::sigMsgInfoError);
    QTRY_VERIFY(check.count() + end.count() > 0);

    QCOMPARE(check.count(), 1);
    QCOMPARE(check.first().first().toInt(), code);
    QCOMPARE(end.count(), 0);
    QCOMPARE(error.count(), 0);
    QCOMPARE(logMessages(dir->path()), QStringList{logLine});
    QStringList pending;
    for (const ZelkorVersionStru &v : worker->pendingVersions())
        pending << v.versionString();
    QCOMPARE(pending, versions);
    QCOMPARE(worker->targetVersion(), newVersion);
}

void TestWorker::resultAfterFailureCountsAsFailed()
{
    QVERIFY(TestSupport::writeFile(appDir() + QStringLiteral("/version"), "1.0.0"));
    // The tool prints nothing: an empty answer is a failed check.
    auto worker = startWorker({QStringLiteral("exit 0")});
    QVERIFY(worker);
    QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
    QSignalSpy end(worker.get(), &ZelkorVersion::sigMsgUpdateEnd);
    QSignalSpy error(worker.get(), &ZelkorVersion::sigMsgInfoError);
    QTRY_COMPARE(end.count(), 1);
    QCOMPARE(end.first().first().toBool(), false);
    QCOMPARE(error.count(), 1);
    QCOMPARE(error.first().first().toString(), QStringLiteral("请求服务器超时："));

    // A time-out, then a late good result: both take the failure path.
    QCOMPARE(worker->getEnd(false, QByteArray()), false);
    QCOMPARE(worker->getEnd(true, R"({"updateList":[{"version":"2.0.0"}]})"), false);
    QCOMPARE(check.count(), 0);
    QCOMPARE(end.count(), 3);
    QCOMPARE(worker->pendingVersions().size(), 0);
    QCOMPARE(worker->targetVersion(), QString());
    const QString failed = QStringLiteral("请求服务器超时：");
    QCOMPARE(logMessages(dir->path()), (QStringList{failed, failed, failed}));
}

void TestWorker::writeVersion_data()
{
    QTest::addColumn<QByteArray>("before"); // empty: no version file
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("after");  // empty: no version file

    QTest::newRow("nothing_newer_leaves_file")
        << QByteArray("3.0.0\n") << QByteArray(R"({"updateList":[{"version":"1.0.0"}]})")
        << QByteArray("3.0.0\n");
    QTest::newRow("nothing_newer_creates_nothing")
        << QByteArray() << QByteArray(R"({"updateList":[]})") << QByteArray();
    QTest::newRow("exact_bytes_over_longer_content")
        << QByteArray("10.10.10\r\n")
        << QByteArray(R"({"updateList":[{"version":"20.0.0"},{"version":"020.000.000"}]})")
        << QByteArray("20.0.0");
    QTest::newRow("new_file") << QByteArray()
                              << QByteArray(R"({"updateList":[{"version":"1.10.0"}]})")
                              << QByteArray("1.10.0");
}

void TestWorker::writeVersion()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, after);

    const QString path = appDir() + QStringLiteral("/version");
    if (!before.isEmpty())
        QVERIFY(TestSupport::writeFile(path, before));
    auto worker = startWorker(printing(list));
    QVERIFY(worker);
    QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
    QVERIFY(check.wait());

    QVERIFY(worker->writeVersion());
    QCOMPARE(QFileInfo::exists(path), !after.isEmpty());
    if (!after.isEmpty())
        QCOMPARE(TestSupport::readAll(path), after);
    QCOMPARE(logMessages(dir->path()).constLast(), QStringLiteral("写入更新文件"));
}

void TestWorker::writeVersionKeepsAnUnreplaceableFile()
{
    const QString path = appDir() + QStringLiteral("/version");
    QVERIFY(TestSupport::writeFile(path, "1.0.0"));
    auto worker = startWorker(printing(R"({"updateList":[{"version":"2.0.0"}]})"));
    QVERIFY(worker);
    QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
    QVERIFY(check.wait());
    if (!chattr(QStringLiteral("+i"), path))
        QSKIP("chattr +i is not available here");

    QVERIFY(!worker->writeVersion());
    QCOMPARE(TestSupport::readAll(path), QByteArray("1.0.0"));
    const QStringList messages = logMessages(dir->path());
    QCOMPARE(messages.at(messages.size() - 2), QStringLiteral("写入更新文件"));
    QVERIFY2(messages.constLast().startsWith(QStringLiteral("写入更新文件失败：")),
             qPrintable(messages.constLast()));
    QVERIFY(messages.constLast().size() > 9);
    QVERIFY(chattr(QStringLiteral("-i"), path));
}

QTEST_GUILESS_MAIN(TestWorker)
#include "tst_worker.moc"
