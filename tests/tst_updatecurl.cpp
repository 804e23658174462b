// The fetch tool run as a real process against the loopback server. The
// server lives in this thread, so every wait keeps the event loop running.

#include "httpserver.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

QString toolPath()
{
    return QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe");
}

struct Run {
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray out;
    QByteArray err;
};

bool isOneLine(const QByteArray &text)
{
    return text.size() > 1 && text.endsWith('\n') && text.count('\n') == 1;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(generator.bounded(256));
    return data;
}

TestHttpServer::Response response(int status, const QByteArray &body,
                                  TestHttpServer::Fault fault = TestHttpServer::Fault::None,
                                  qint64 faultAfter = -1)
{
    TestHttpServer::Response r;
    r.status = status;
    r.body = body;
    r.fault = fault;
    r.faultAfter = faultAfter;
    return r;
}

} // namespace

class TestUpdateCurl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void passesBodyUnchanged_data();
    void passesBodyUnchanged();
    void failsWithoutOutput_data();
    void failsWithoutOutput();
    void followsRedirects_data();
    void followsRedirects();
    void refusesRedirect_data();
    void refusesRedirect();
    void refusesOtherSchemes_data();
    void refusesOtherSchemes();
    void givesUpOnUnresponsiveServer_data();
    void givesUpOnUnresponsiveServer();
    void connectionRefusedFailsQuickly();
    void wrongArgumentCount_data();
    void wrongArgumentCount();
    void doesNotReadStdin();

private:
    void runTool(const QStringList &args, Run *run, int timeoutMs = 30000,
                 const QByteArray &stdinData = QByteArray());
    void verifyFailedQuietly(const Run &run);

    TestHttpServer *m_server = nullptr;
};

void TestUpdateCurl::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
}

void TestUpdateCurl::init()
{
    QVERIFY2(QFileInfo(toolPath()).isExecutable(), qPrintable(toolPath()));
    m_server = new TestHttpServer(this);
    QVERIFY2(m_server->listen(), qPrintable(m_server->errorString()));
}

void TestUpdateCurl::cleanup()
{
    delete m_server;
    m_server = nullptr;
}

// Runs the tool without blocking the event loop; stdin stays open throughout.
void TestUpdateCurl::runTool(const QStringList &args, Run *run, int timeoutMs,
                             const QByteArray &stdinData)
{
    QProcess process;
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    // A proxy from the environment must not stand between the tool and the loopback server.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("no_proxy"), QStringLiteral("127.0.0.1,localhost"));
    environment.insert(QStringLiteral("NO_PROXY"), QStringLiteral("127.0.0.1,localhost"));
    process.setProcessEnvironment(environment);
    process.start(toolPath(), args);
    if (!stdinData.isEmpty())
        process.write(stdinData);
    QTRY_VERIFY2_WITH_TIMEOUT(!finished.isEmpty() || process.error() == QProcess::FailedToStart,
                              "updateCurl.exe did not end in time", timeoutMs);
    QVERIFY2(process.error() != QProcess::FailedToStart, qPrintable(process.errorString()));
    run->exitCode = process.exitCode();
    run->exitStatus = process.exitStatus();
    run->out = process.readAllStandardOutput();
    run->err = process.readAllStandardError();
}

void TestUpdateCurl::verifyFailedQuietly(const Run &run)
{
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.out.isEmpty(), run.out.left(200).constData());
    QVERIFY2(isOneLine(run.err), run.err.constData());
}

void TestUpdateCurl::passesBodyUnchanged_data()
{
    QTest::addColumn<QByteArray>("body");

    QByteArray allBytes;
    for (int round = 0; round < 4; ++round) {
        for (int byte = 0; byte < 256; ++byte)
            allBytes.append(char(byte));
    }

    QTest::newRow("ascii_text") << QByteArray("Tavrix 2.4.1\nupdate.exe 1.3\n");
    QTest::newRow("no_trailing_newline") << QByteArray("2.4.1");
    QTest::newRow("binary_all_byte_values") << allBytes;
    QTest::newRow("utf8_non_ascii")
        << QStringLiteral("Grüße — Ελληνικά, 日本語 🚀\r\n").toUtf8();
    QTest::newRow("crlf_and_nul") << QByteArray("a\r\nb\0c\r\n\0", 10);
    QTest::newRow("empty_body") << QByteArray();
    QTest::newRow("large_body_6MiB") << randomBytes(6 * 1024 * 1024, 17);
}

void TestUpdateCurl::passesBodyUnchanged()
{
    QFETCH(QByteArray, body);
    m_server->setRoute(QStringLiteral("/list.txt"), body);

    Run run;
    runTool({m_server->url(QStringLiteral("/list.txt")).toString()}, &run);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QVERIFY2(run.err.isEmpty(), run.err.constData());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out.size(), body.size());
    QVERIFY(run.out == body);

    const QList<TestHttpServer::Request> log = m_server->requestLog();
    QCOMPARE(log.size(), 1);
    QCOMPARE(log.first().method, QByteArray("GET"));
}

void TestUpdateCurl::failsWithoutOutput_data()
{
    using Fault = TestHttpServer::Fault;
    QTest::addColumn<TestHttpServer::Response>("answer");

    const QByteArray page = "<html><body>error page</body></html>\n";
    const QByteArray data = randomBytes(200 * 1024, 5);

    QTest::newRow("status_404_fails") << response(404, page);
    QTest::newRow("status_403_fails") << response(403, page);
    QTest::newRow("status_500_fails") << response(500, page);
    QTest::newRow("status_503_long_page_fails") << response(503, page.repeated(30000));
    QTest::newRow("status_404_empty_body_fails") << response(404, QByteArray());
    QTest::newRow("cut_short_at_half_fails") << response(200, data, Fault::CutShort);
    QTest::newRow("cut_short_before_body_fails") << response(200, data, Fault::CutShort, 0);
    QTest::newRow("cut_short_one_byte_missing_fails")
        << response(200, data, Fault::CutShort, data.size() - 1);
    // Beyond the tool's 64 MiB limit; on a slow machine its time-out ends it instead.
    QTest::newRow("body_over_64MiB_fails")
        << response(200, QByteArray(64 * 1024 * 1024 + 1, 'x'));
    // A redirect that cannot be followed is no more the content than an error page.
    QTest::newRow("redirect_without_location_fails") << response(302, page);
}

void TestUpdateCurl::failsWithoutOutput()
{
    QFETCH(TestHttpServer::Response, answer);
    m_server->setRoute(QStringLiteral("/list.txt"), answer);

    Run run;
    runTool({m_server->url(QStringLiteral("/list.txt")).toString()}, &run);
    if (QTest::currentTestFailed())
        return;
    verifyFailedQuietly(run);
    QCOMPARE(m_server->hits(QStringLiteral("/list.txt")), 1);
}

void TestUpdateCurl::followsRedirects_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("absolute");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("redirect_302_followed") << 302 << 1 << false << true;
    QTest::newRow("redirect_301_followed") << 301 << 1 << true << true;
    QTest::newRow("redirect_303_followed") << 303 << 1 << false << true;
    QTest::newRow("redirect_307_followed") << 307 << 1 << true << true;
    QTest::newRow("redirect_308_followed") << 308 << 1 << false << true;
    QTest::newRow("five_redirects_followed") << 302 << 5 << false << true;
    QTest::newRow("six_redirects_fail") << 302 << 6 << true << false;
}

void TestUpdateCurl::followsRedirects()
{
    QFETCH(int, status);
    QFETCH(int, hops);
    QFETCH(bool, absolute);
    QFETCH(bool, succeeds);

    const auto hop = [](int i) { return QStringLiteral("/hop%1").arg(i); };
    for (int i = 0; i < hops; ++i) {
        if (absolute)
            m_server->setRedirect(hop(i), m_server->url(hop(i + 1)), status);
        else
            m_server->setRedirect(hop(i), hop(i + 1), status);
    }
    const QByteArray body = "final content\n";
    m_server->setRoute(hop(hops), body);

    Run run;
    runTool({m_server->url(hop(0)).toString()}, &run);
    if (QTest::currentTestFailed())
        return;

    if (succeeds) {
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QVERIFY2(run.err.isEmpty(), run.err.constData());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, body);
        QCOMPARE(m_server->hits(hop(hops)), 1);
    } else {
        verifyFailedQuietly(run);
        QCOMPARE(m_server->hits(hop(hops)), 0);
    }
    for (const TestHttpServer::Request &request : m_server->requestLog())
        QCOMPARE(request.method, QByteArray("GET"));
}

void TestUpdateCurl::refusesRedirect_data()
{
    QTest::addColumn<QString>("location");

    // %FILE% is a local file with content, %BASE% the server's address.
    QTest::newRow("redirect_loop_fails") << QStringLiteral("/list.txt");
    QTest::newRow("redirect_to_file_url_fails") << QStringLiteral("%FILE%");
    QTest::newRow("redirect_to_etc_passwd_fails") << QStringLiteral("file:///etc/passwd");
    QTest::newRow("redirect_to_ftp_fails") << QStringLiteral("ftp://%BASE%/list.txt");
    QTest::newRow("redirect_to_gopher_fails") << QStringLiteral("gopher://%BASE%/list.txt");
}

void TestUpdateCurl::refusesRedirect()
{
    QFETCH(QString, location);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString localFile = dir.filePath(QStringLiteral("local.txt"));
    QFile file(localFile);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    QCOMPARE(file.write("local secret\n"), qint64(13));
    file.close();

    location.replace(QStringLiteral("%FILE%"), QUrl::fromLocalFile(localFile).toString());
    location.replace(QStringLiteral("%BASE%"),
                     QStringLiteral("127.0.0.1:%1").arg(m_server->port()));
    m_server->setRedirect(QStringLiteral("/list.txt"), location);

    Run run;
    runTool({m_server->url(QStringLiteral("/list.txt")).toString()}, &run);
    if (QTest::currentTestFailed())
        return;
    verifyFailedQuietly(run);
    // A loop is cut off, not followed forever.
    QVERIFY(m_server->hits(QStringLiteral("/list.txt")) >= 1);
    QVERIFY(m_server->hits(QStringLiteral("/list.txt")) <= 6);
}

void TestUpdateCurl::refusesOtherSchemes_data()
{
    QTest::addColumn<QString>("url");

    QTest::newRow("file_url_refused") << QStringLiteral("%FILE%");
    QTest::newRow("etc_hostname_refused") << QStringLiteral("file:///etc/hostname");
    QTest::newRow("ftp_url_refused") << QStringLiteral("ftp://%BASE%/list.txt");
    QTest::newRow("dict_url_refused") << QStringLiteral("dict://%BASE%/list.txt");
    QTest::newRow("empty_url_refused") << QString();
}

void TestUpdateCurl::refusesOtherSchemes()
{
    QFETCH(QString, url);
    QTemporaryDir dir;
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));
    const QString localFile = dir.filePath(QStringLiteral("local.txt"));
    QFile file(localFile);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    QCOMPARE(file.write("local content\n"), qint64(14));
    file.close();
    m_server->setRoute(QStringLiteral("/list.txt"), QByteArray("served anyway\n"));

    url.replace(QStringLiteral("%FILE%"), QUrl::fromLocalFile(localFile).toString());
    url.replace(QStringLiteral("%BASE%"), QStringLiteral("127.0.0.1:%1").arg(m_server->port()));

    Run run;
    runTool({url}, &run);
    if (QTest::currentTestFailed())
        return;
    verifyFailedQuietly(run);
    QCOMPARE(m_server->requests(), QStringList());
}

void TestUpdateCurl::givesUpOnUnresponsiveServer_data()
{
    using Fault = TestHttpServer::Fault;
    QTest::addColumn<TestHttpServer::Response>("answer");

    TestHttpServer::Response late = response(200, "too late\n");
    late.delayMs = 60000;

    QTest::newRow("no_answer_gives_up") << response(200, "never\n", Fault::NoAnswer);
    QTest::newRow("answer_too_late_gives_up") << late;
    QTest::newRow("stall_mid_body_gives_up") << response(200, randomBytes(100000, 3), Fault::Stall);
    QTest::newRow("endless_body_gives_up") << response(200, "0123456789\n", Fault::Endless);
}

void TestUpdateCurl::givesUpOnUnresponsiveServer()
{
    QFETCH(TestHttpServer::Response, answer);
    m_server->setRoute(QStringLiteral("/list.txt"), answer);

    // The tool's own bound is about 9 s; this only catches one that never ends.
    Run run;
    runTool({m_server->url(QStringLiteral("/list.txt")).toString()}, &run, 25000);
    if (QTest::currentTestFailed())
        return;
    verifyFailedQuietly(run);
    QCOMPARE(m_server->hits(QStringLiteral("/list.txt")), 1);
}

void TestUpdateCurl::connectionRefusedFailsQuickly()
{
    QTcpServer probe;
    QVERIFY2(probe.listen(QHostAddress::LocalHost), qPrintable(probe.errorString()));
    const quint16 unusedPort = probe.serverPort();
    probe.close();

    Run run;
    runTool({QStringLiteral("http://127.0.0.1:%1/list.txt").arg(unusedPort)}, &run, 20000);
    if (QTest::currentTestFailed())
        return;
    verifyFailedQuietly(run);
}

void TestUpdateCurl::wrongArgumentCount_data()
{
    QTest::addColumn<int>("count");

    QTest::newRow("no_arguments") << 0;
    QTest::newRow("two_arguments") << 2;
    QTest::newRow("three_arguments") << 3;
}

void TestUpdateCurl::wrongArgumentCount()
{
    QFETCH(int, count);
    m_server->setRoute(QStringLiteral("/list.txt"), QByteArray("content\n"));
    QStringList args;
    for (int i = 0; i < count; ++i)
        args << m_server->url(QStringLiteral("/list.txt")).toString();

    Run run;
    runTool(args, &run);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.out.isEmpty(), run.out.constData());
    QVERIFY2(isOneLine(run.err), run.err.constData());
    QVERIFY2(run.err.toLower().contains("usage"), run.err.constData());
    QCOMPARE(m_server->requests(), QStringList());
}

void TestUpdateCurl::doesNotReadStdin()
{
    const QByteArray body = "content from the server\n";
    m_server->setRoute(QStringLiteral("/list.txt"), body);

    // Standard input stays open and never ends: a tool reading it would hang.
    Run run;
    runTool({m_server->url(QStringLiteral("/list.txt")).toString()}, &run, 20000,
            "content from stdin\n");
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, body);
}

QTEST_GUILESS_MAIN(TestUpdateCurl)
#include "tst_updatecurl.moc"
