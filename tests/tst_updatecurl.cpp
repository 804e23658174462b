// The fetch tool run as a real process against the loopback server. The
// server lives in this thread, so every wait keeps the event loop running.

#include "httpserver.h"

#include <QRandomGenerator>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using Fault = TestHttpServer::Fault;
Q_DECLARE_METATYPE(TestHttpServer::Response)

struct Run {
    bool ended = false;
    QProcess::ExitStatus status = QProcess::CrashExit;
    int code = -1;
    QByteArray out, err;
};

// Has content, so a tool that read it would print something.
static QUrl localFile()
{
    return QUrl::fromLocalFile(QStringLiteral(UPDATER_SOURCE_DIR "/tests/tst_updatecurl.cpp"));
}

// Standard input gets a line and stays open: a tool reading it would print it or hang.
static Run fetch(const QStringList &args)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // A proxy from the environment must not stand between the tool and the loopback server.
    environment.insert(QStringLiteral("no_proxy"), QStringLiteral("127.0.0.1,localhost"));
    environment.insert(QStringLiteral("NO_PROXY"), QStringLiteral("127.0.0.1,localhost"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe"), args);
    Run run;
    if (!process.waitForStarted()) {
        run.err = process.errorString().toUtf8();
        return run;
    }
    process.write("content from stdin\n");
    // The tool's own bound is about 9 s; this only catches one that never ends.
    run.ended = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 25000);
    if (!run.ended) {
        process.kill();
        process.waitForFinished();
    }
    run.status = process.exitStatus();
    run.code = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err += process.readAllStandardError();
    return run;
}

// Content only on success; otherwise nothing but one line of reason.
static void verify(const Run &run, int code, const QByteArray &out = QByteArray())
{
    QVERIFY2(run.ended, run.err.constData());
    QCOMPARE(run.status, QProcess::NormalExit);
    QCOMPARE(run.code, code);
    QCOMPARE(run.out.size(), out.size());
    QVERIFY(run.out == out);
    if (code == 0)
        QVERIFY2(run.err.isEmpty(), run.err.constData());
    else
        QVERIFY2(run.err.endsWith('\n') && run.err.count('\n') == 1 && run.err.size() > 1,
                 run.err.constData());
}

class TestUpdateCurl : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;

private slots:
    void init()
    {
        server = std::make_unique<TestHttpServer>();
        QVERIFY2(server->listen(), qPrintable(server->errorString()));
    }

    void cleanup() { server.reset(); }

    // /0 redirects to /1 and so on; the last hop gives the answer.
    void fetchesFromServer_data()
    {
        QTest::addColumn<TestHttpServer::Response>("answer");
        QTest::addColumn<int>("redirects");
        QTest::addColumn<QByteArray>("expected"); // null: the fetch must fail
        const auto answer = [](int status, const QByteArray &body, Fault fault = Fault::None,
                               qint64 faultAfter = -1) {
            TestHttpServer::Response r;
            r.status = status;
            r.body = body;
            r.fault = fault;
            r.faultAfter = faultAfter;
            return r;
        };
        const auto ok = [&](const char *tag, const QByteArray &body, int redirects = 0) {
            QTest::newRow(tag) << answer(200, body) << redirects << body;
        };
        const auto fails = [](const char *tag, const TestHttpServer::Response &r, int redirects = 0) {
            QTest::newRow(tag) << r << redirects << QByteArray();
        };
        QByteArray allBytes;
        for (int i = 0; i < 4 * 256; ++i)
            allBytes.append(char(i));
        QByteArray large(6 * 1024 * 1024, Qt::Uninitialized);
        QRandomGenerator(17).fillRange(reinterpret_cast<quint32 *>(large.data()), large.size() / 4);
        const QByteArray page = "<html><body>error page</body></html>\n";
        TestHttpServer::Response toFile = answer(302, page);
        toFile.location = localFile().toEncoded();

        ok("binary_all_byte_values", allBytes);
        ok("utf8_non_ascii", QStringLiteral("Grüße — Ελληνικά, 日本語 🚀\r\n").toUtf8());
        ok("empty_body", QByteArray(""));
        ok("large_body_6MiB", large); // beyond the tool's first buffer
        ok("five_redirects_followed", "final content\n", 5);
        fails("six_redirects_fail", answer(200, "final content\n"), 6);
        fails("status_404", answer(404, page));
        fails("status_500", answer(500, page));
        fails("redirect_without_location", answer(302, page));
        fails("redirect_to_file_url", toFile);
        fails("cut_short_one_byte_missing", answer(200, large.left(200000), Fault::CutShort, 199999));
        // Beyond the tool's 64 MiB limit; on a slow machine its time-out ends it instead.
        fails("body_over_64MiB", answer(200, QByteArray(64 * 1024 * 1024 + 1, 'x')));
        fails("no_answer", answer(200, "never\n", Fault::NoAnswer));
        fails("stall_mid_body", answer(200, large.left(100000), Fault::Stall));
    }

    void fetchesFromServer()
    {
        QFETCH(TestHttpServer::Response, answer);
        QFETCH(int, redirects);
        QFETCH(QByteArray, expected);
        QStringList hops;
        for (int i = 0; i <= redirects; ++i)
            hops << QStringLiteral("/%1").arg(i);
        for (int i = 0; i < redirects; ++i)
            server->setRedirect(hops[i], hops[i + 1]);
        server->setRoute(hops.last(), answer);

        verify(fetch({server->url(hops.first()).toString()}), expected.isNull() ? 1 : 0, expected);
        // No retries, and no more than five redirects.
        QCOMPARE(server->requests(), QStringList(hops.mid(0, 6)));
        for (const TestHttpServer::Request &request : server->requestLog())
            QCOMPARE(request.method, QByteArray("GET"));
    }

    // %1 is the server's page, %2 a port nobody listens on.
    void refusedWithoutRequest_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::newRow("file_url") << QStringList{localFile().toString()} << 1;
        QTest::newRow("empty_url") << QStringList{QString()} << 1;
        QTest::newRow("connection_refused") << QStringList{QStringLiteral("http://127.0.0.1:%2/")} << 1;
        QTest::newRow("no_arguments") << QStringList() << 2;
        QTest::newRow("two_arguments") << QStringList{QStringLiteral("%1"), QStringLiteral("%1")} << 2;
    }

    void refusedWithoutRequest()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QTcpServer probe;
        QVERIFY2(probe.listen(QHostAddress::LocalHost), qPrintable(probe.errorString()));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        server->setRoute(QStringLiteral("/list.txt"), QByteArray("served anyway\n"));
        for (QString &arg : args) {
            arg.replace(QLatin1String("%1"), server->url(QStringLiteral("/list.txt")).toString());
            arg.replace(QLatin1String("%2"), QString::number(closedPort));
        }

        const Run run = fetch(args);
        verify(run, code);
        if (code == 2)
            QVERIFY2(run.err.toLower().contains("usage"), run.err.constData());
        QCOMPARE(server->requests(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestUpdateCurl)
#include "tst_updatecurl.moc"
