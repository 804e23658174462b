// Runs the real update.exe and updateCurl.exe against the loopback server,
// in throw-away installation folders, and looks only at what a user would
// see afterwards: files, the log, exit codes and what the product was given.

#include "httpserver.h"
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Response = TestHttpServer::Response;
using Fault = TestHttpServer::Fault;
Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

const QString listPath = QStringLiteral("/packages/update.json");

QString manifestPath(const QString &version)
{
    return QStringLiteral("/packages/version/") + version + QStringLiteral(".json");
}

QString binPath(const QString &path)
{
    return QStringLiteral("/packages/bin/") + path;
}

QByteArray manifest(const QStringList &paths)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("value"), QJsonArray::fromStringList(paths)}})
        .toJson();
}

// Each entry is version, updateType.
QByteArray updateList(const QList<QPair<QString, int>> &versions)
{
    QJsonArray list;
    for (const auto &version : versions)
        list.append(QJsonObject{{QStringLiteral("version"), version.first},
                                {QStringLiteral("updateType"), version.second},
                                {QStringLiteral("reason"), QStringLiteral("修复")}});
    return QJsonDocument(QJsonObject{{QStringLiteral("updateList"), list}}).toJson();
}

Response status(int code)
{
    Response response;
    response.status = code;
    response.body = "<html>error page</html>";
    return response;
}

// Every file below root with its bytes; the log changes on every run and is left out.
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName() != QLatin1String("updateLog.txt"))
            files.insert(QDir(root).relativeFilePath(path), TestSupport::readAll(path));
    }
    return files;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nothingNewerHandsOverToProduct_data();
    void nothingNewerHandsOverToProduct();
    void updateOverTwoVersions();
    void failureKeepsInstallationAndWaits_data();
    void failureKeepsInstallationAndWaits();
    void productThatCannotStart();
    void logGoesToWorkingDirectoryAndIsTruncated();

private:
    bool stage(const QByteArray &version, const QStringList &productScript);
    bool runUpdater(const QStringList &arguments, const QString &workDir = QString(),
                    const QString &path = QString());
    bool updaterEnded(int timeoutMs) const
    {
        return QTest::qWaitFor([this] { return updater->state() == QProcess::NotRunning; },
                               timeoutMs);
    }
    QStringList logMessages(const QString &dir = QString()) const;
    // The first message starting with prefix, or a null string.
    QString findLogMessage(const QString &prefix) const
    {
        const QStringList found = logMessages().filter(
            QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)));
        return found.value(0);
    }
    QString appFile(const QString &path) const { return appDir + QLatin1Char('/') + path; }

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<QProcess> updater;
    QString appDir;
};

void TestEndToEnd::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY2(tmp->isValid(), qPrintable(tmp->errorString()));
    appDir = tmp->filePath(QStringLiteral("app"));
    QVERIFY(QDir().mkpath(appDir));
    server = std::make_unique<TestHttpServer>();
    if (!server->listen(UPDATER_TEST_PORT))
        QFAIL(qPrintable(QStringLiteral("port %1: ").arg(UPDATER_TEST_PORT) + server->errorString()));
}

void TestEndToEnd::cleanup()
{
    if (updater && updater->state() != QProcess::NotRunning) {
        updater->kill();
        updaterEnded(30000);
    }
    updater.reset();
    server.reset();
    tmp.reset();
}

bool TestEndToEnd::stage(const QByteArray &version, const QStringList &productScript)
{
    for (const QString &program : {QStringLiteral(UPDATER_E2E_BIN_DIR "/update.exe"),
                                   QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe")}) {
        const QString target = appFile(QFileInfo(program).fileName());
        if (!QFile::copy(program, target) || !QFileInfo(target).isExecutable()) {
            qWarning("cannot install %s as an executable", qPrintable(program));
            return false;
        }
    }
    if (!productScript.isEmpty()
        && !TestSupport::installFakeProgram(appDir, QStringLiteral("Tavrix.exe"), productScript))
        return false;
    return TestSupport::writeFile(appFile(QStringLiteral("version")), version);
}

bool TestEndToEnd::runUpdater(const QStringList &arguments, const QString &workDir,
                              const QString &path)
{
    updater = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!path.isNull())
        env.insert(QStringLiteral("PATH"), path);
    updater->setProcessEnvironment(env);
    updater->setWorkingDirectory(workDir.isEmpty() ? appDir : workDir);
    // Never read: a full pipe would stall the updater and the product.
    updater->setStandardOutputFile(QProcess::nullDevice());
    updater->setStandardErrorFile(QProcess::nullDevice());
    updater->start(appFile(QStringLiteral("update.exe")), arguments);
    if (!QTest::qWaitFor([this] { return updater->state() != QProcess::Starting; }, 30000)
        || updater->error() == QProcess::FailedToStart) {
        qWarning("update.exe did not start: %s", qPrintable(updater->errorString()));
        return false;
    }
    return true;
}

QStringList TestEndToEnd::logMessages(const QString &dir) const
{
    QFile file((dir.isEmpty() ? appDir : dir) + QStringLiteral("/updateLog.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList messages;
    const QString text = QString::fromUtf8(file.readAll());
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        messages << line.mid(22);
    return messages;
}

void TestEndToEnd::nothingNewerHandsOverToProduct_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<QByteArray>("handedOver");
    QTest::addColumn<bool>("decoyOnPath");

    const QByteArray older = updateList({{QStringLiteral("0.9.0"), 1}, {QStringLiteral("1.0.0"), 0}});
    const QString latest = QStringLiteral("无需更新：当前版本为最新");
    const QString empty = QStringLiteral("无需更新：更新列表为空");
    const QByteArray none("argc=0\n--\n");
    QTest::newRow("no_argument") << QStringList() << older << latest << none << false;
    QTest::newRow("one_argument") << QStringList{QStringLiteral("--open")} << older << latest
                                  << QByteArray("argc=1\n--open\n--\n") << false;
    QTest::newRow("one_non_ascii_argument_with_blanks")
        << QStringList{QStringLiteral("--打开=文件 with space")} << older << latest
        << QStringLiteral("argc=1\n--打开=文件 with space\n--\n").toUtf8() << false;
    QTest::newRow("two_arguments_hand_over_none")
        << QStringList{QStringLiteral("first"), QStringLiteral("second")} << older << latest << none
        << false;
    // Qt's own options count as given arguments too.
    QTest::newRow("qt_option_alone_handed_on")
        << QStringList{QStringLiteral("-reverse")} << older << latest
        << QByteArray("argc=1\n-reverse\n--\n") << false;
    QTest::newRow("qt_option_and_another_hand_over_none")
        << QStringList{QStringLiteral("-reverse"), QStringLiteral("x")} << older << latest << none
        << false;
    QTest::newRow("empty_list") << QStringList{QStringLiteral("x")} << updateList({}) << empty
                                << QByteArray("argc=1\nx\n--\n") << false;
    QTest::newRow("list_not_json") << QStringList() << QByteArray("<html>maintenance</html>")
                                   << empty << none << false;
    // A fetch tool on the search path that would announce 9.9.9 must lose to the one
    // next to the updater.
    QTest::newRow("own_fetch_tool_before_search_path")
        << QStringList() << older << latest << none << true;
}

void TestEndToEnd::nothingNewerHandsOverToProduct()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, list);
    QFETCH(QString, verdict);
    QFETCH(QByteArray, handedOver);
    QFETCH(bool, decoyOnPath);

    // The product's own exit code is not the updater's.
    QVERIFY(stage("1.0.0", {QStringLiteral("record args.txt"), QStringLiteral("sleep 1500"),
                            QStringLiteral("record done.txt"), QStringLiteral("exit 3")}));
    server->setRoute(listPath, list);
    QString path;
    if (decoyOnPath) {
        const QString decoy = tmp->filePath(QStringLiteral("decoy"));
        const QString newer = QString::fromUtf8(updateList({{QStringLiteral("9.9.9"), 1}}));
        QVERIFY(TestSupport::installFakeProgram(decoy, QStringLiteral("updateCurl.exe"),
                                                {QStringLiteral("print ") + newer.simplified()}));
        path = decoy + QDir::listSeparator() + qEnvironmentVariable("PATH");
    }
    QVERIFY(runUpdater(arguments, QString(), path));

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(appFile(QStringLiteral("args.txt"))), 30000);
    QVERIFY2(updater->state() == QProcess::Running, "the updater did not wait for the product");
    QVERIFY2(updaterEnded(30000), "the updater outlived its product");
    QVERIFY2(QFileInfo::exists(appFile(QStringLiteral("done.txt"))), "ended before the product did");
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);

    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("args.txt"))), handedOver);
    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("version"))), QByteArray("1.0.0"));
    QCOMPARE(server->requests(), QStringList{listPath});
    const QStringList log = logMessages();
    QVERIFY2(log.contains(QStringLiteral("版本检测")) && log.contains(verdict),
             qPrintable(log.join(QLatin1Char('\n'))));
    QVERIFY(!log.contains(QStringLiteral("开始更新")));
}

void TestEndToEnd::updateOverTwoVersions()
{
    QByteArray everyByte;
    for (int round = 0; round < 4; ++round)
        for (int b = 0; b < 256; ++b)
            everyByte += char(b);
    QByteArray big(2 * 1024 * 1024, '\0');
    quint32 seed = 12345;
    for (char &c : big) {
        seed = seed * 1103515245u + 12345u;
        c = char(seed >> 24);
    }
    const QMap<QString, QByteArray> files{
        {QStringLiteral("bin/core.dll"), everyByte},
        {QStringLiteral("data/sub/deep.txt"), "deep inside\r\nsecond line\n"},
        {QStringLiteral("data/shared.txt"), "listed by both versions"},
        {QStringLiteral("big/payload.bin"), big}};

    QVERIFY(stage("1.0.0", {QStringLiteral("record args.txt")}));
    QVERIFY(TestSupport::writeFile(appFile(QStringLiteral("bin/core.dll")), "old core"));
    const QByteArray updaterBytes =
        TestSupport::readAll(QStringLiteral(UPDATER_E2E_BIN_DIR "/update.exe"));
    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("update.exe"))), updaterBytes);

    server->setRoute(listPath, updateList({{QStringLiteral("1.0.0"), 0},
                                           {QStringLiteral("1.2.0"), 1},
                                           {QStringLiteral("1.1.0"), 0}}));
    server->setRoute(manifestPath(QStringLiteral("1.1.0")),
                     manifest({QStringLiteral("bin/core.dll"), QStringLiteral("data/shared.txt"),
                               QStringLiteral("update.exe")}));
    server->setRoute(manifestPath(QStringLiteral("1.2.0")),
                     manifest({QStringLiteral("data/sub/deep.txt"), QStringLiteral("data/shared.txt"),
                               QStringLiteral("big/payload.bin")}));
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        server->setRoute(binPath(it.key()), it.value());
    server->setRoute(binPath(QStringLiteral("update.exe")), QByteArray("not the updater"));

    QElapsedTimer clock;
    clock.start();
    QVERIFY(runUpdater({}));
    QVERIFY2(updaterEnded(60000), qPrintable(logMessages().join(QLatin1Char('\n'))));
    qInfo("e2e: %d-file update took %lld ms", int(files.size()), clock.elapsed());
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);

    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QVERIFY2(TestSupport::readAll(appFile(it.key())) == it.value(), qPrintable(it.key()));
        QCOMPARE(server->hits(binPath(it.key())), 1);
    }
    QCOMPARE(server->hits(manifestPath(QStringLiteral("1.0.0"))), 0);
    QCOMPARE(server->hits(binPath(QStringLiteral("update.exe"))), 0);
    QVERIFY(TestSupport::readAll(appFile(QStringLiteral("update.exe"))) == updaterBytes);
    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("version"))), QByteArray("1.2.0"));
    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("args.txt"))), QByteArray("argc=0\n--\n"));
    // Nothing else, no left-over partial files.
    QStringList expected = files.keys();
    expected << QStringLiteral("Tavrix.exe") << QStringLiteral("Tavrix.exe.fake") << QStringLiteral("args.txt")
             << QStringLiteral("update.exe") << QStringLiteral("updateCurl.exe") << QStringLiteral("version");
    expected.sort();
    QCOMPARE(snapshot(appDir).keys(), expected);

    const QStringList log = logMessages();
    const QString all = log.join(QLatin1Char('\n'));
    const QString deepFile = QFileInfo(appFile(QStringLiteral("data/sub/deep.txt"))).absoluteFilePath();
    for (const QString &line :
         {QStringLiteral("发现新版本:强制更新"), QStringLiteral("开始更新"), QStringLiteral("开始下载文件"),
          QStringLiteral("创建目录：") + deepFile, QStringLiteral("(3/4)"),
          QStringLiteral("写入文件成功:写入文件大小%1").arg(big.size()), QStringLiteral("写入更新文件")})
        QVERIFY2(log.contains(line), qPrintable(line + QStringLiteral(" missing from:\n") + all));
    const int versionWritten = log.indexOf(QStringLiteral("写入更新文件"));
    QVERIFY2(versionWritten > log.indexOf(QStringLiteral("(3/4)")), qPrintable(all));
}

void TestEndToEnd::failureKeepsInstallationAndWaits_data()
{
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<Response>("answer");
    QTest::addColumn<QString>("logged");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<int>("atLeastMs");

    const QStringList bothFiles{binPath(QStringLiteral("bin/core.dll")),
                                binPath(QStringLiteral("data/sub/deep.txt"))};
    const QString listFailed = QStringLiteral("请求服务器超时：");
    const QString fileFailed = QStringLiteral("下载文件: 失败,错误码:");
    QTest::newRow("list_404") << QStringList{listPath} << status(404) << listFailed << QString() << 0;
    Response silent;
    silent.fault = Fault::NoAnswer;
    // The fetch tool gives up by itself after some seconds.
    QTest::newRow("list_never_answers") << QStringList{listPath} << silent << listFailed << QString()
                                        << 5000;
    QTest::newRow("second_manifest_missing")
        << QStringList{manifestPath(QStringLiteral("1.2.0"))} << status(404)
        << QStringLiteral("获取更新列表失败:") << QString() << 0;
    QTest::newRow("file_missing") << bothFiles << status(404) << fileFailed
                                  << QStringLiteral("错误码:203") << 0;
    Response cut;
    cut.body = QByteArray(300000, 'n');
    cut.fault = Fault::CutShort;
    QTest::newRow("file_cut_short") << bothFiles << cut << fileFailed << QString() << 0;
    Response unsafe;
    unsafe.body = manifest({QStringLiteral("data/sub/deep.txt"), QStringLiteral("../escape.txt")});
    QTest::newRow("unsafe_path") << QStringList{manifestPath(QStringLiteral("1.2.0"))} << unsafe
                                 << QStringLiteral("非法文件路径:../escape.txt") << QString() << 0;
    Response stalled = cut;
    stalled.fault = Fault::Stall;
    QTest::newRow("file_stalls_past_the_bound")
        << bothFiles << stalled << fileFailed
        << QStringLiteral("no complete answer within %1 ms").arg(UPDATER_TEST_REQUEST_TIMEOUT_MS)
        << UPDATER_TEST_REQUEST_TIMEOUT_MS / 2;
}

void TestEndToEnd::failureKeepsInstallationAndWaits()
{
    QFETCH(QStringList, targets);
    QFETCH(Response, answer);
    QFETCH(QString, logged);
    QFETCH(QString, detail);
    QFETCH(int, atLeastMs);

    QVERIFY(stage("1.0.0", {QStringLiteral("record args.txt")}));
    QVERIFY(TestSupport::writeFile(appFile(QStringLiteral("bin/core.dll")), "old core"));
    QVERIFY(TestSupport::writeFile(appFile(QStringLiteral("data/sub/deep.txt")), "old deep"));
    server->setRoute(listPath, updateList({{QStringLiteral("1.1.0"), 0}, {QStringLiteral("1.2.0"), 0}}));
    server->setRoute(manifestPath(QStringLiteral("1.1.0")),
                     manifest({QStringLiteral("bin/core.dll"), QStringLiteral("update.exe")}));
    server->setRoute(manifestPath(QStringLiteral("1.2.0")),
                     manifest({QStringLiteral("data/sub/deep.txt"), QStringLiteral("bin/core.dll")}));
    for (const QString &path : {QStringLiteral("bin/core.dll"), QStringLiteral("data/sub/deep.txt"),
                                QStringLiteral("../escape.txt"), QStringLiteral("update.exe")})
        server->setRoute(binPath(path), "new " + path.toUtf8());
    server->setRoute(QStringLiteral("/packages/escape.txt"), QByteArray("escaped"));
    for (const QString &target : targets)
        server->setRoute(target, answer);

    QElapsedTimer sinceAsked;
    QObject context;
    connect(server.get(), &TestHttpServer::requestReceived, &context, [&](const QString &path) {
        if (targets.contains(path) && !sinceAsked.isValid())
            sinceAsked.start();
    });
    const QMap<QString, QByteArray> before = snapshot(tmp->path());
    QVERIFY(runUpdater({QStringLiteral("--open")}));

    QVERIFY2(QTest::qWaitFor([&] { return !findLogMessage(logged).isNull(); }, 30000),
             qPrintable(logMessages().join(QLatin1Char('\n'))));
    QVERIFY(sinceAsked.isValid());
    QVERIFY2(sinceAsked.elapsed() >= atLeastMs, qPrintable(QString::number(sinceAsked.elapsed())));
    QVERIFY2(findLogMessage(logged).contains(detail), qPrintable(findLogMessage(logged)));
    QVERIFY(!logMessages().contains(QStringLiteral("写入更新文件")));

    // It waits for the user instead of ending or starting the product.
    QVERIFY2(!updaterEnded(1500), qPrintable(QString::number(updater->exitCode())));
    QVERIFY(!QFileInfo::exists(appFile(QStringLiteral("args.txt"))));
    QVERIFY(!QFileInfo::exists(tmp->filePath(QStringLiteral("escape.txt"))));
    const QMap<QString, QByteArray> after = snapshot(tmp->path());
    QCOMPARE(after.keys(), before.keys());
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QVERIFY2(after.value(it.key()) == it.value(), qPrintable(it.key()));

    updater->kill();
    QVERIFY(updaterEnded(30000));
}

void TestEndToEnd::productThatCannotStart()
{
    QVERIFY(stage("1.0.0", {}));
    server->setRoute(listPath, updateList({{QStringLiteral("1.0.0"), 0}}));
    // A search path that holds no Tavrix.exe either.
    const QString emptyDir = tmp->filePath(QStringLiteral("empty"));
    QVERIFY(QDir().mkpath(emptyDir));
    QVERIFY(runUpdater({QStringLiteral("--open")}, QString(), emptyDir));

    QVERIFY2(updaterEnded(30000), qPrintable(logMessages().join(QLatin1Char('\n'))));
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 1);
    const QStringList log = logMessages();
    const QRegularExpression failed(QStringLiteral("^启动程序失败:\\S*Tavrix\\.exe \\S"));
    QVERIFY2(log.filter(failed).size() == 1, qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("version"))), QByteArray("1.0.0"));
}

void TestEndToEnd::logGoesToWorkingDirectoryAndIsTruncated()
{
    QVERIFY(stage("1.0.0", {QStringLiteral("record args.txt")}));
    server->setRoute(listPath, updateList({}));
    const QString elsewhere = tmp->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere));
    const QRegularExpression format(
        QStringLiteral("^\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d:  \\S"));

    for (int run = 0; run < 2; ++run) {
        QVERIFY(runUpdater({}, elsewhere));
        QVERIFY(updaterEnded(30000));
        QCOMPARE(updater->exitCode(), 0);
        QVERIFY(!QFileInfo::exists(appFile(QStringLiteral("updateLog.txt"))));
        const QByteArray raw = TestSupport::readAll(elsewhere + QStringLiteral("/updateLog.txt"));
        const QStringList lines = QString::fromUtf8(raw).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(!lines.isEmpty(), "no log in the working directory");
        for (const QString &line : lines)
            QVERIFY2(format.match(line).hasMatch(), qPrintable(line));
        const QStringList messages = logMessages(elsewhere);
        QCOMPARE(messages.first(), QStringLiteral("版本检测"));
        QCOMPARE(messages.count(QStringLiteral("版本检测")), 1);
        QVERIFY(messages.contains(QStringLiteral("无需更新：更新列表为空")));
        QVERIFY(!raw.contains("stale"));
        // Left for the second run to throw away.
        QVERIFY(TestSupport::writeFile(elsewhere + QStringLiteral("/updateLog.txt"),
                                       raw + QByteArray("stale line\n").repeated(50)));
    }
    QCOMPARE(TestSupport::readAll(appFile(QStringLiteral("args.txt"))),
             QByteArray("argc=0\n--\nargc=0\n--\n"));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
