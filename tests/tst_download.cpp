#include "httpserver.h"
#include "testsupport.h"
#include "zelkorversion.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

#include <memory>

using Response = TestHttpServer::Response;
using Fault = TestHttpServer::Fault;
Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

bool chattr(const QString &flag, const QString &path)
{
    return QProcess::execute(QStringLiteral("chattr"), {flag, path}) == 0;
}

QByteArray manifest(const QJsonArray &paths)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("value"), paths}}).toJson();
}

QByteArray manifest(const QStringList &paths)
{
    return manifest(QJsonArray::fromStringList(paths));
}

QString binPath(const QString &path)
{
    return QStringLiteral("/packages/bin/") + path;
}

QString manifestPath(const QString &version)
{
    return QStringLiteral("/packages/version/") + version + QStringLiteral(".json");
}

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void sharedPathFetchedOnce();
    void countersAndPercentages_data();
    void countersAndPercentages();
    void emptyVersionListSucceedsWithoutRequests();
    void manifestWithoutFilesIsNoError_data();
    void manifestWithoutFilesIsNoError();
    void installDetails();
    void missingManifestStopsAtThatVersion();
    void failedFileKeepsEverythingElse_data();
    void failedFileKeepsEverythingElse();
    void unsafePathRefusedBeforeAnyDownload_data();
    void unsafePathRefusedBeforeAnyDownload();
    void localFailureKeepsOldContent_data();
    void localFailureKeepsOldContent();
    void abortSeenBeforeTheNextRequest();
    void abortBeforeTheUpdateBegins();

private:
    // Publishes versions over an installed 1.0.0; each maps to its files.
    void publish(const QList<QPair<QString, QStringList>> &versions, int updateType = 0);
    std::unique_ptr<ZelkorVersion> startWorker(int requestTimeoutMs = 0);
    // Waits for the check, begins the update as the window does, waits for its end.
    bool runUpdate(ZelkorVersion &worker, bool *ok);
    bool begin(ZelkorVersion &worker, bool *ok);
    QStringList logMessages() const;
    QString appFile(const QString &path) const { return appDir + QLatin1Char('/') + path; }
    // Files below appDir other than the ones the test put there itself.
    QStringList strayFiles() const;

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TestHttpServer> server;
    QString appDir;
    QString previousDir;
    QList<QVariantList> texts;
    QList<int> percentages;
};

void TestDownload::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY2(dir->isValid(), qPrintable(dir->errorString()));
    appDir = dir->filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(appDir));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe"),
                        appFile(QStringLiteral("updateCurl.exe"))));
    QVERIFY(TestSupport::writeFile(appFile(QStringLiteral("version")), "1.0.0"));
    previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir->path()));
    server = std::make_unique<TestHttpServer>();
    QVERIFY2(server->listen(), qPrintable(server->errorString()));
    texts.clear();
    percentages.clear();
}

void TestDownload::cleanup()
{
    QDir::setCurrent(previousDir);
    server.reset();
    QDirIterator it(appDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        chattr(QStringLiteral("-i"), it.next());
    dir.reset();
}

void TestDownload::publish(const QList<QPair<QString, QStringList>> &versions, int updateType)
{
    QJsonArray list;
    for (const auto &version : versions) {
        list.append(QJsonObject{{QStringLiteral("version"), version.first},
                                {QStringLiteral("updateType"), updateType}});
        server->setRoute(manifestPath(version.first), manifest(version.second));
        for (const QString &path : version.second)
            server->setRoute(binPath(path), "new content of " + path.toUtf8());
    }
    server->setRoute(QStringLiteral("/packages/update.json"),
                     QJsonDocument(QJsonObject{{QStringLiteral("updateList"), list}}).toJson());
}

std::unique_ptr<ZelkorVersion> TestDownload::startWorker(int requestTimeoutMs)
{
    ZelkorVersion::Options options;
    options.appDir = appDir;
    options.serverUrl = server->baseUrl();
    options.requestTimeoutMs = requestTimeoutMs;
    auto worker = std::make_unique<ZelkorVersion>(nullptr, options);
    connect(worker.get(), &ZelkorVersion::sigSetText, this,
            [this](const QString &text, int which) { texts.append({text, which}); });
    connect(worker.get(), &ZelkorVersion::sigUpdateProcess, this,
            [this](int percent) { percentages.append(percent); });
    worker->init();
    return worker;
}

bool TestDownload::runUpdate(ZelkorVersion &worker, bool *ok)
{
    int code = -1;
    QObject context;
    connect(&worker, &ZelkorVersion::sigMsgInfoCheck, &context, [&code](int c) { code = c; });
    if (!QTest::qWaitFor([&code] { return code >= 0; }, 30000) || code == 0)
        return false;
    return begin(worker, ok);
}

bool TestDownload::begin(ZelkorVersion &worker, bool *ok)
{
    // Collected on this thread: the worker thread's reports arrive queued.
    QList<bool> ends;
    QObject context;
    connect(&worker, &ZelkorVersion::sigMsgUpdateEnd, &context, [&ends](bool b) { ends << b; });
    worker.doBeginUpdate();
    if (!QTest::qWaitFor([&ends] { return !ends.isEmpty(); }, 60000))
        return false;
    *ok = ends.first();
    // Exactly one report per update.
    return !QTest::qWaitFor([&ends] { return ends.size() > 1; }, 300);
}

QStringList TestDownload::logMessages() const
{
    QFile file(dir->filePath(QStringLiteral("updateLog.txt")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList messages;
    QTextStream stream(&file);
    while (!stream.atEnd())
        messages << stream.readLine().mid(22);
    return messages;
}

QStringList TestDownload::strayFiles() const
{
    QStringList found;
    QDirIterator it(appDir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = QDir(appDir).relativeFilePath(it.next());
        if (name != QLatin1String("updateCurl.exe") && name != QLatin1String("version"))
            found << name;
    }
    found.sort();
    return found;
}

void TestDownload::sharedPathFetchedOnce()
{
    publish({{QStringLiteral("1.1.0"), {QStringLiteral("a#b%41.txt"), QStringLiteral("lib/common.dll")}},
             {QStringLiteral("1.2.0"), {QStringLiteral("lib/common.dll"), QStringLiteral("数据/c.txt")}}});
    auto worker = startWorker();
    bool ok = false;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(ok);

    QCOMPARE(server->hits(binPath(QStringLiteral("lib/common.dll"))), 1);
    QCOMPARE(server->hits(manifestPath(QStringLiteral("1.1.0"))), 1);
    QCOMPARE(server->hits(manifestPath(QStringLiteral("1.2.0"))), 1);
    for (const QString &path : {QStringLiteral("a#b%41.txt"), QStringLiteral("lib/common.dll"),
                                QStringLiteral("数据/c.txt")})
        QCOMPARE(TestSupport::readAll(appFile(path)), "new content of " + path.toUtf8());
    QCOMPARE(strayFiles().size(), 3);
    QCOMPARE(texts.constLast(), (QVariantList{QStringLiteral("(2/3)"), 1}));
    QCOMPARE(worker->targetVersion(), QStringLiteral("1.2.0"));
    QCOMPARE(worker->state(), int(ZelkorVersion::Idle));
    // The installed version is written by the caller, never by the download.
    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("version"))), QByteArray("1.0.0"));

    // The log tells the story of one new nested file in order.
    const QStringList log = logMessages();
    const int begin = log.indexOf(QStringLiteral("开始下载文件"));
    QVERIFY(begin > log.indexOf(QStringLiteral("开始更新")));
    const QString nested = appFile(QStringLiteral("数据/c.txt"));
    const int created = log.indexOf(QStringLiteral("创建目录：") + QFileInfo(nested).absoluteFilePath());
    QVERIFY2(created > begin, qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(log.at(created - 1), QStringLiteral("下载文件:"));
    QCOMPARE(log.at(created + 1), QStringLiteral("数据/c.txt"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\(\\d/3\\)$")).match(log.at(created + 2)).hasMatch());
    QCOMPARE(log.at(created + 3), QStringLiteral("写入文件成功:写入文件大小")
                                      + QString::number(QByteArray("new content of 数据/c.txt").size()));
}

void TestDownload::countersAndPercentages_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<QList<int>>("expected");
    QTest::newRow("five") << 5 << QList<int>{0, 20, 40, 60, 80};
    QTest::newRow("three_truncated") << 3 << QList<int>{0, 33, 66};
    QTest::newRow("one") << 1 << QList<int>{0};
}

void TestDownload::countersAndPercentages()
{
    QFETCH(int, files);
    QFETCH(QList<int>, expected);

    QStringList paths;
    for (int i = 0; i < files; ++i)
        paths << QStringLiteral("f%1.bin").arg(i);
    publish({{QStringLiteral("2.0.0"), paths}});
    auto worker = startWorker();
    bool ok = false;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(ok);

    QCOMPARE(percentages, expected);
    QCOMPARE(texts.size(), 2 * files);
    QStringList written;
    for (int i = 0; i < files; ++i) {
        QCOMPARE(texts.at(2 * i).at(1).toInt(), 0);
        written << texts.at(2 * i).first().toString();
        QCOMPARE(texts.at(2 * i + 1), (QVariantList{QStringLiteral("(%1/%2)").arg(i).arg(files), 1}));
    }
    written.sort();
    QCOMPARE(written, paths);
}

void TestDownload::emptyVersionListSucceedsWithoutRequests()
{
    publish({});
    auto worker = startWorker();
    QSignalSpy check(worker.get(), &ZelkorVersion::sigMsgInfoCheck);
    QVERIFY(check.wait(30000));
    QCOMPARE(check.first().first().toInt(), 0);

    bool ok = false;
    QVERIFY(begin(*worker, &ok));
    QVERIFY(ok);
    QCOMPARE(server->requests(), QStringList{QStringLiteral("/packages/update.json")});
    QCOMPARE(logMessages().constLast(), QStringLiteral("开始下载文件"));
}

void TestDownload::manifestWithoutFilesIsNoError_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("not_json") << QByteArray("<html>not json</html>");
    QTest::newRow("no_value") << QByteArray(R"({"files":["a.txt"]})");
    QTest::newRow("top_level_array") << QByteArray(R"(["a.txt"])");
    QTest::newRow("empty_body") << QByteArray();
}

void TestDownload::manifestWithoutFilesIsNoError()
{
    QFETCH(QByteArray, body);
    publish({{QStringLiteral("1.1.0"), {}}, {QStringLiteral("1.2.0"), {QStringLiteral("b.txt")}}});
    server->setRoute(manifestPath(QStringLiteral("1.1.0")), body);
    auto worker = startWorker();
    bool ok = false;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(ok);
    QCOMPARE(strayFiles(), QStringList{QStringLiteral("b.txt")});
}

void TestDownload::installDetails()
{
    publish({{QStringLiteral("1.1.0"),
              {QStringLiteral("update.exe"), QStringLiteral("bin/update.exe"),
               QStringLiteral("bin/Update.exe"), QStringLiteral("Tavrix.exe"),
               QStringLiteral("moved.txt")}}});
    server->setRedirect(binPath(QStringLiteral("moved.txt")), "/elsewhere/moved.txt", 302);
    server->setRoute(QStringLiteral("/elsewhere/moved.txt"), QByteArray("the real file"));
    const QString program = appFile(QStringLiteral("Tavrix.exe"));
    QVERIFY(TestSupport::writeFile(program, "old program"));
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(program, mode));

    auto worker = startWorker();
    bool ok = false;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(ok);
    // The skip is case-sensitive; a redirect's target is installed, not its body.
    QCOMPARE(strayFiles(), (QStringList{QStringLiteral("Tavrix.exe"), QStringLiteral("bin/Update.exe"),
                                        QStringLiteral("moved.txt")}));
    QCOMPARE(server->hits(binPath(QStringLiteral("update.exe"))), 0);
    QCOMPARE(server->hits(binPath(QStringLiteral("bin/update.exe"))), 0);
    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("moved.txt"))), QByteArray("the real file"));
    // A replaced program stays executable.
    QCOMPARE(TestSupport::readAll(program), QByteArray("new content of Tavrix.exe"));
    QCOMPARE(QFile::permissions(program) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
             mode);
}

void TestDownload::missingManifestStopsAtThatVersion()
{
    publish({{QStringLiteral("1.1.0"), {QStringLiteral("a.txt")}},
             {QStringLiteral("1.2.0"), {QStringLiteral("b.txt")}},
             {QStringLiteral("1.3.0"), {QStringLiteral("c.txt")}}});
    server->removeRoute(manifestPath(QStringLiteral("1.2.0")));
    auto worker = startWorker();
    bool ok = true;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(!ok);
    QCOMPARE(worker->cursor(), 2);
    QCOMPARE(worker->state(), int(ZelkorVersion::Idle));
    QCOMPARE(server->hits(manifestPath(QStringLiteral("1.3.0"))), 0);
    QCOMPARE(strayFiles(), QStringList());
    QCOMPARE(logMessages().constLast(), QStringLiteral("获取更新列表失败:"));

    // A new start begins again with the first version.
    server->setRoute(manifestPath(QStringLiteral("1.2.0")),
                     manifest(QStringList{QStringLiteral("b.txt")}));
    QVERIFY(begin(*worker, &ok));
    QVERIFY(ok);
    QCOMPARE(server->hits(manifestPath(QStringLiteral("1.1.0"))), 2);
    QCOMPARE(strayFiles().size(), 3);
}

void TestDownload::failedFileKeepsEverythingElse_data()
{
    QTest::addColumn<Response>("failing");
    QTest::addColumn<int>("requestTimeoutMs");
    QTest::addColumn<QString>("reason");

    Response missing;
    missing.status = 404;
    missing.body = "<html>not found</html>";
    QTest::newRow("status_404") << missing << 0 << "错误码:203错误原因:";
    Response broken;
    broken.status = 500;
    broken.body = "<html>oops</html>";
    QTest::newRow("status_500") << broken << 0 << "错误码:401错误原因:";
    Response cut;
    cut.body = QByteArray(200000, 'n');
    cut.fault = Fault::CutShort;
    QTest::newRow("body_cut_short") << cut << 0 << "失败,错误码:";
    Response stalled;
    stalled.body = QByteArray(200000, 'n');
    stalled.fault = Fault::Stall;
    QTest::newRow("stalls_past_the_bound") << stalled << 700 << "no complete answer within 700 ms";
    Response silent;
    silent.fault = Fault::NoAnswer;
    QTest::newRow("no_answer_past_the_bound") << silent << 700 << "错误码:4错误原因:";
    Response noContent;
    noContent.status = 204;
    QTest::newRow("status_204_is_a_success_elsewhere_but_here_a_file") << noContent << 0 << "";
}

void TestDownload::failedFileKeepsEverythingElse()
{
    QFETCH(Response, failing);
    QFETCH(int, requestTimeoutMs);
    QFETCH(QString, reason);

    const QStringList paths{QStringLiteral("a.txt"), QStringLiteral("b.txt"),
                            QStringLiteral("c/d.txt"), QStringLiteral("e.txt")};
    publish({{QStringLiteral("1.1.0"), paths}});
    for (const QString &path : paths)
        QVERIFY(TestSupport::writeFile(appFile(path), "old " + path.toUtf8()));
    server->setRoute(binPath(QStringLiteral("c/d.txt")), failing);

    auto worker = startWorker(requestTimeoutMs);
    bool ok = false;
    QVERIFY(runUpdate(*worker, &ok));
    if (reason.isEmpty()) {
        // An empty 2xx body is a file with no bytes.
        QVERIFY(ok);
        QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("c/d.txt"))), QByteArray());
        return;
    }
    QVERIFY(!ok);

    // Files fetched before the failure are new, the rest untouched.
    const QStringList asked = server->requests();
    for (const QString &path : paths) {
        const bool before = asked.indexOf(binPath(path)) >= 0
            && asked.indexOf(binPath(path)) < asked.indexOf(binPath(QStringLiteral("c/d.txt")));
        const QByteArray expected = before ? "new content of " + path.toUtf8() : "old " + path.toUtf8();
        QCOMPARE(TestSupport::readAll(appFile(path)), expected);
    }
    QCOMPARE(asked.constLast(), binPath(QStringLiteral("c/d.txt")));
    QCOMPARE(strayFiles().size(), paths.size());
    const QString last = logMessages().constLast();
    QVERIFY2(last.startsWith(QStringLiteral("下载文件: 失败,错误码:")) && last.contains(reason),
             qPrintable(last));
    QCOMPARE(worker->state(), int(ZelkorVersion::Idle));
    // Qt may retry a request whose connection broke, so count paths.
    QSet<QString> fetched;
    for (const QString &path : asked)
        fetched.insert(path);
    QCOMPARE(texts.size(), 2 * (fetched.size() - 3));
}

void TestDownload::unsafePathRefusedBeforeAnyDownload_data()
{
    QTest::addColumn<QJsonValue>("entry");
    QTest::addColumn<QString>("logged");

    const QStringList unsafe{QStringLiteral("../x"), QStringLiteral("/etc/x"), QStringLiteral("C:/x"),
                             QStringLiteral("a/../../x"), QStringLiteral("a\\..\\x"),
                             QStringLiteral("./x"), QStringLiteral("a//x"), QStringLiteral("a/.. /x"),
                             QString()};
    for (const QString &path : unsafe)
        QTest::newRow(qPrintable(QStringLiteral("path_") + (path.isEmpty() ? QStringLiteral("empty") : path)))
            << QJsonValue(path) << path;
    QTest::newRow("non_string_entry") << QJsonValue(5) << QString();
}

void TestDownload::unsafePathRefusedBeforeAnyDownload()
{
    QFETCH(QJsonValue, entry);
    QFETCH(QString, logged);

    publish({{QStringLiteral("1.1.0"), {QStringLiteral("good.txt")}},
             {QStringLiteral("1.2.0"), {}}});
    server->setRoute(manifestPath(QStringLiteral("1.2.0")),
                     manifest(QJsonArray{QStringLiteral("fine.txt"), entry}));
    auto worker = startWorker();
    bool ok = true;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(!ok);
    for (const QString &asked : server->requests())
        QVERIFY2(!asked.startsWith(QStringLiteral("/packages/bin/")), qPrintable(asked));
    QCOMPARE(strayFiles(), QStringList());
    QCOMPARE(logMessages().constLast(), QStringLiteral("非法文件路径:") + logged);
}

void TestDownload::localFailureKeepsOldContent_data()
{
    QTest::addColumn<bool>("folderInTheWay");
    QTest::addColumn<QString>("logged");
    QTest::newRow("folder_where_the_file_should_be") << true << "打开文件失败:";
    QTest::newRow("file_cannot_be_replaced") << false << "";
}

void TestDownload::localFailureKeepsOldContent()
{
    QFETCH(bool, folderInTheWay);
    QFETCH(QString, logged);

    publish({{QStringLiteral("1.1.0"), {QStringLiteral("plugins")}}});
    const QString target = appFile(QStringLiteral("plugins"));
    if (folderInTheWay) {
        QVERIFY(QDir().mkpath(target + QStringLiteral("/keep")));
    } else {
        QVERIFY(TestSupport::writeFile(target, "old"));
        if (!chattr(QStringLiteral("+i"), target))
            QSKIP("chattr +i is not available here");
    }
    auto worker = startWorker();
    bool ok = true;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(!ok);
    if (folderInTheWay)
        QVERIFY(QFileInfo(target + QStringLiteral("/keep")).isDir());
    else
        QCOMPARE(TestSupport::readAll(target), QByteArray("old"));
    const QStringList log = logMessages();
    const QString last = log.constLast();
    // Which step refuses an immutable file depends on the platform's checks.
    QVERIFY2(last.startsWith(logged.isEmpty() ? QStringLiteral("写入文件失败:") : logged)
                 || (logged.isEmpty() && last.startsWith(QStringLiteral("打开文件失败:"))),
             qPrintable(last));
    QVERIFY(last.contains(target));
    QVERIFY(!log.join(QLatin1Char('\n')).contains(QStringLiteral("创建目录：")));
    QCOMPARE(strayFiles().size(), folderInTheWay ? 0 : 1);
}

void TestDownload::abortSeenBeforeTheNextRequest()
{
    publish({{QStringLiteral("1.1.0"), {QStringLiteral("a.txt"), QStringLiteral("b.txt"),
                                        QStringLiteral("c.txt")}}});
    auto worker = startWorker();
    ZelkorVersion *raw = worker.get();
    // The user closes the window while the first file is on its way.
    connect(server.get(), &TestHttpServer::requestReceived, this, [raw](const QString &path) {
        if (path.startsWith(QStringLiteral("/packages/bin/")))
            raw->requestAbort();
    });
    bool ok = true;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(!ok);
    QTRY_VERIFY(worker->isFinished());
    int fetched = 0;
    for (const QString &asked : server->requests())
        fetched += asked.startsWith(QStringLiteral("/packages/bin/"));
    QCOMPARE(fetched, 1);
    // The request under way was finished and installed.
    QCOMPARE(strayFiles().size(), 1);
}

void TestDownload::abortBeforeTheUpdateBegins()
{
    publish({{QStringLiteral("1.1.0"), {QStringLiteral("a.txt")}}});
    auto worker = startWorker();
    worker->requestAbort();
    bool ok = true;
    QVERIFY(runUpdate(*worker, &ok));
    QVERIFY(!ok);
    QCOMPARE(server->requests(), QStringList{QStringLiteral("/packages/update.json")});
    QTRY_VERIFY(worker->isFinished());
    worker.reset();
    // An aborted thread ends without its closing line.
    QVERIFY(!logMessages().contains(QStringLiteral("版本检测线程停止")));
}

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
