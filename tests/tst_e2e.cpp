// Runs the real update.exe and updateCurl.exe against the loopback server and looks only at
// what a user would see afterwards: files, the log, exit codes and what the product was given.

#include "httpserver.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

using Response = TestHttpServer::Response;
using Fault = TestHttpServer::Fault;
Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

QString operator""_q(const char *text, size_t size) { return QString::fromUtf8(text, int(size)); }

const QString listPath = "/packages/update.json"_q;
const QString binPath = "/packages/bin/"_q;

// One line per file below root but the log, after the given files replace theirs.
QStringList snapshot(const QString &root, QMap<QString, QByteArray> files = {})
{
    for (QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = QDir(root).relativeFilePath(it.next());
        if (it.fileName() != "updateLog.txt"_q && !files.contains(path))
            files.insert(path, TestSupport::readAll(it.filePath()));
    }
    QStringList lines;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        lines << "%1: %2 bytes, hash %3"_q.arg(it.key()).arg(it.value().size()).arg(qHash(it.value()));
    return lines;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("QT_QPA_PLATFORM", "offscreen"); }
    void init()
    {
        appDir = (tmp = std::make_unique<QTemporaryDir>())->filePath("app"_q);
        server = std::make_unique<TestHttpServer>();
        QVERIFY2(server->listen(UPDATER_TEST_PORT), qPrintable(server->errorString()));
    }
    void cleanup()
    {
        if (updater)
            updater->kill(), updater->waitForFinished();
        server.reset();
    }
    void nothingNewerStartsProduct_data();
    void nothingNewerStartsProduct();
    void updateOverTwoVersions();
    void failureKeepsInstallationAndWaits_data();
    void failureKeepsInstallationAndWaits();

private:
    // An installation of version 1.0.0; without a script there is no product.
    bool stage(const QStringList &productScript)
    {
        for (const QString &program : {QStringLiteral(UPDATER_E2E_BIN_DIR "/update.exe"),
                                       QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe")})
            if (!QDir().mkpath(appDir) || !QFile::copy(program, app(QFileInfo(program).fileName())))
                return false;
        return TestSupport::writeFile(app("version"_q), "1.0.0")
            && (productScript.isEmpty() || TestSupport::installFakeProgram(appDir, "Tavrix.exe"_q, productScript));
    }

    // 1.1.0 and the enforced 1.2.0 over the installed 1.0.0; the served files by path.
    QMap<QString, QByteArray> serveTwoVersions()
    {
        QByteArray big(2 * 1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < big.size(); ++i)
            big[i] = char((quint32(i) * 2654435761u) >> 24);
        const QMap<QString, QByteArray> files{{"bin/core.dll"_q, big.mid(7, 5000)}, {"big/payload.bin"_q, big},
                                              {"data/sub/deep.txt"_q, "deep inside\r\nsecond line\n"},
                                              {"data/shared.txt"_q, "listed by both versions"}};
        TestSupport::writeFile(app("bin/core.dll"_q), "old core");
        TestSupport::writeFile(app("data/sub/deep.txt"_q), "old deep");
        server->setRoute(listPath, R"({"updateList":[{"version":"1.0.0","updateType":0},)"
                                   R"({"version":"1.2.0","updateType":1},{"version":"1.1.0","updateType":0}]})");
        server->setRoute("/packages/version/1.1.0.json"_q, R"({"value":["bin/core.dll","data/shared.txt","update.exe"]})");
        server->setRoute("/packages/version/1.2.0.json"_q,
                         R"({"value":["data/sub/deep.txt","data/shared.txt","big/payload.bin"]})");
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            server->setRoute(binPath + it.key(), it.value());
        for (const QString &path : {"bin/update.exe"_q, "bin/../escape.txt"_q, "escape.txt"_q})
            server->setRoute("/packages/"_q + path, QByteArray("never to be written"));
        return files;
    }

    bool runUpdater(const QStringList &arguments, const QString &workDir = QString(), const QString &path = QString())
    {
        updater = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH"_q, path.isNull() ? env.value("PATH"_q) : path);
        updater->setProcessEnvironment(env);
        updater->setWorkingDirectory(workDir.isEmpty() ? appDir : workDir);
        // Never read: a full pipe would stall the updater and the product.
        updater->setStandardOutputFile(QProcess::nullDevice());
        updater->setStandardErrorFile(QProcess::nullDevice());
        updater->start(app("update.exe"_q), arguments);
        return updater->waitForStarted(30000);
    }

    QStringList log() const { return TestSupport::logMessages(appDir); }
    QString logDump() const { return log().join(u'\n'); }
    int exitCode() const { return updater->exitStatus() == QProcess::NormalExit ? updater->exitCode() : -1; }
    bool updaterEnded(int timeoutMs = 30000) const
    {
        return QTest::qWaitFor([this] { return updater->state() == QProcess::NotRunning; }, timeoutMs);
    }
    QString app(const QString &path) const { return appDir + u'/' + path; }

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<QProcess> updater;
    QString appDir;
};

void TestEndToEnd::nothingNewerStartsProduct_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QString>("variant");
    const QByteArray older(R"({"updateList":[{"version":"0.9.0","updateType":1},)"
                           R"({"version":"1.0.0","updateType":0,"reason":"修复"}]})");
    const auto row = [&](const char *name, const QStringList &arguments, const char *variant = "",
                         const QByteArray &list = {}, const QString &verdict = "无需更新：当前版本为最新"_q) {
        QTest::newRow(name) << arguments << (list.isNull() ? older : list) << verdict << QString::fromUtf8(variant);
    };
    row("no_argument", {});
    row("one_argument", {"--open"_q});
    row("one_non_ascii_argument_with_blanks", {"--打开=文件 with space"_q});
    row("two_arguments_hand_over_none", {"a"_q, "b"_q});
    // Qt's own options count as given arguments too.
    row("qt_option_alone_handed_on", {"-reverse"_q});
    row("qt_option_and_another_hand_over_none", {"-reverse"_q, "x"_q});
    // A fetch tool on the search path announcing 9.9.9 loses to the one beside the updater.
    row("own_fetch_tool_before_search_path", {}, "decoy");
    // Run from another folder that already holds a log.
    row("log_in_working_directory", {}, "elsewhere");
    // Neither the installation nor the search path holds the product.
    row("product_cannot_start", {"--open"_q}, "no_product");
    row("empty_list", {"x"_q}, "", R"({"updateList":[]})", "无需更新：更新列表为空"_q);
    row("list_not_json", {}, "", "<html>maintenance</html>", "无需更新：更新列表为空"_q);
}

void TestEndToEnd::nothingNewerStartsProduct()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, list);
    QFETCH(QString, verdict);
    QFETCH(QString, variant);
    const bool product = variant != "no_product"_q;
    // The product's own exit code is not the updater's.
    QVERIFY(stage(product ? QStringList{"record args.txt"_q, "sleep 1500"_q, "record done.txt"_q, "exit 3"_q}
                          : QStringList()));
    server->setRoute(listPath, list);
    const QString workDir = variant == "elsewhere"_q ? tmp->filePath("elsewhere"_q) : appDir;
    QVERIFY(workDir == appDir || TestSupport::writeFile(workDir + "/updateLog.txt"_q, QByteArray("stale\n").repeated(50)));
    const QString print = R"(print {"updateList":[{"version":"9.9.9","updateType":1}]})"_q;
    QVERIFY(variant != "decoy"_q || TestSupport::installFakeProgram(tmp->path(), "updateCurl.exe"_q, {print}));
    const QString path = variant == "decoy"_q ? tmp->path() + QDir::listSeparator() + qEnvironmentVariable("PATH")
                                              : product ? QString() : tmp->path();
    QVERIFY(runUpdater(arguments, workDir, path));
    if (product) {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(app("args.txt"_q)), 30000);
        QVERIFY2(updater->state() == QProcess::Running, "the updater did not wait for the product");
        QVERIFY2(updaterEnded(), "the updater outlived its product");
        QVERIFY2(QFileInfo::exists(app("done.txt"_q)), "ended before the product did");
        QCOMPARE(exitCode(), 0);
        // Exactly one given argument is handed on.
        QCOMPARE(TestSupport::readAll(app("args.txt"_q)), arguments.size() == 1
                     ? "argc=1\n" + arguments[0].toUtf8() + "\n--\n" : QByteArray("argc=0\n--\n"));
    } else {
        QVERIFY2(updaterEnded() && exitCode() == 1, qPrintable(logDump()));
        QVERIFY2(log().filter(QRegularExpression("^启动程序失败:\\S*Tavrix\\.exe \\S"_q)).size() == 1, qPrintable(logDump()));
    }
    QCOMPARE(TestSupport::readAll(app("version"_q)), QByteArray("1.0.0"));
    QCOMPARE(server->requests(), QStringList{listPath});
    // A new log in the working directory only, every line stamped.
    QVERIFY(workDir == appDir || !QFileInfo::exists(app("updateLog.txt"_q)));
    const QStringList messages = TestSupport::logMessages(workDir);
    const QRegularExpression unstamped("(?m)^(?!\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d:  \\S)[^\\n]"_q);
    QVERIFY2(messages.value(0) == "版本检测"_q && messages.count("版本检测"_q) == 1 && messages.contains(verdict)
                 && !messages.join(u'\n').contains("开始更新"_q)
                 && !unstamped.match(QString::fromUtf8(TestSupport::readAll(workDir + "/updateLog.txt"_q))).hasMatch(),
             qPrintable(messages.join(u'\n')));
}

void TestEndToEnd::updateOverTwoVersions()
{
    QVERIFY(stage({"record args.txt"_q}));
    const QMap<QString, QByteArray> files = serveTwoVersions();
    // All else stays as it was, update.exe too.
    QMap<QString, QByteArray> changed{{"version"_q, "1.2.0"}, {"args.txt"_q, "argc=0\n--\n"}};
    changed.insert(files);
    const QStringList expected = snapshot(appDir, changed);

    QVERIFY(runUpdater({}));
    QVERIFY2(updaterEnded(60000), qPrintable(logDump()));
    QCOMPARE(exitCode(), 0);
    QCOMPARE(snapshot(appDir), expected);
    for (const QString &path : files.keys())
        QCOMPARE(server->hits(binPath + path), 1);
    QCOMPARE(server->hits("/packages/version/1.0.0.json"_q), 0);
    QCOMPARE(server->hits(binPath + "update.exe"_q), 0);
    const QStringList messages = log();
    for (const QString &line : {"发现新版本:强制更新"_q, "开始更新"_q, "开始下载文件"_q,
                                "创建目录："_q + app("big/payload.bin"_q), "(3/4)"_q,
                                "写入文件成功:写入文件大小%1"_q.arg(files.value("big/payload.bin"_q).size()),
                                "写入更新文件"_q})
        QVERIFY2(messages.contains(line), qPrintable(line + " missing from:\n"_q + logDump()));
    // The version is written only after the last file.
    QVERIFY(messages.indexOf("写入更新文件"_q) > messages.indexOf("(3/4)"_q));
}

void TestEndToEnd::failureKeepsInstallationAndWaits_data()
{
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<Response>("answer");
    QTest::addColumn<QString>("logged"); // pattern of a log message
    QTest::addColumn<int>("atLeastMs");
    const QStringList second{"/packages/version/1.2.0.json"_q};
    // Every file fails: files are written one by one as they arrive.
    const QStringList files{binPath + "bin/core.dll"_q, binPath + "data/sub/deep.txt"_q, binPath + "data/shared.txt"_q,
                            binPath + "big/payload.bin"_q};
    const auto answer = [](int status, const QByteArray &body = {}, Fault fault = Fault::None) {
        Response response;
        return response.status = status, response.body = body, response.fault = fault, response;
    };
    const QString fileFailed = "下载文件: 失败,错误码:"_q;
    const QByteArray body(300000, 'n');
    QTest::newRow("list_404") << QStringList{listPath} << answer(404) << "请求服务器超时："_q << 0;
    // The fetch tool gives up by itself after some seconds.
    QTest::newRow("list_never_answers") << QStringList{listPath} << answer(200, {}, Fault::NoAnswer) << "请求服务器超时："_q << 5000;
    QTest::newRow("second_manifest_missing") << second << answer(404) << "获取更新列表失败:"_q << 0;
    QTest::newRow("file_missing") << files << answer(404) << "下载文件: 失败,.*错误码:203"_q << 0;
    QTest::newRow("file_cut_short") << files << answer(200, body, Fault::CutShort) << fileFailed << 0;
    QTest::newRow("unsafe_path") << second << answer(200, R"({"value":["../escape.txt"]})")
                                 << "非法文件路径:\\.\\./escape\\.txt"_q << 0;
    QTest::newRow("file_stalls_past_the_bound")
        << files << answer(200, body, Fault::Stall)
        << fileFailed + ".*no complete answer within %1 ms"_q.arg(UPDATER_TEST_REQUEST_TIMEOUT_MS)
        << UPDATER_TEST_REQUEST_TIMEOUT_MS / 2;
}

void TestEndToEnd::failureKeepsInstallationAndWaits()
{
    QFETCH(QStringList, targets);
    QFETCH(Response, answer);
    QFETCH(QString, logged);
    QFETCH(int, atLeastMs);
    QVERIFY(stage({"record args.txt"_q}));
    serveTwoVersions();
    for (const QString &target : targets)
        server->setRoute(target, answer);
    QElapsedTimer sinceAsked;
    QObject context;
    connect(server.get(), &TestHttpServer::requestReceived, &context,
            [&](const QString &path) { if (targets.contains(path) && !sinceAsked.isValid()) sinceAsked.start(); });
    const QStringList before = snapshot(tmp->path());
    QVERIFY(runUpdater({"--open"_q}));
    const QRegularExpression message(u'^' + logged);
    QVERIFY2(QTest::qWaitFor([&] { return !log().filter(message).isEmpty(); }, 30000), qPrintable(logDump()));
    QVERIFY2(sinceAsked.isValid() && sinceAsked.elapsed() >= atLeastMs, qPrintable(QString::number(sinceAsked.elapsed())));
    QVERIFY(!log().contains("写入更新文件"_q));
    // It waits for the user instead of ending or starting the product.
    QVERIFY2(!updaterEnded(1500), qPrintable(QString::number(updater->exitCode())));
    QVERIFY(!QFileInfo::exists(app("args.txt"_q)));
    QCOMPARE(snapshot(tmp->path()), before);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
