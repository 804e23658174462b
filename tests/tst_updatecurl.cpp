// The fetch tool run as a real process against the loopback server, and the
// updater's wait for it.

#include "getUrl.h"
#include "testsupport.h"

struct Fetch
{
    QStringList arguments; // {url}: the server's /0, {gone}: a port nobody listens on
    Reply answer;
    int redirects; // /0 redirects to /1 and so on; the last one answers
    QByteArray expected; // standard output
    int code;
    int proxy
        = 0; // through the server as the proxy that http_proxy names; 2: it asks for credentials
};
Q_DECLARE_METATYPE(Fetch)

class TestUpdateCurl : public QObject
{
    Q_OBJECT

private slots:
    void fetch_data()
    {
        QTest::addColumn<Fetch>("row");
        QByteArray bytes(6 << 20, 0); // every byte value, beyond the tool's first buffer
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i + i / 251);
        const QString readme = QUrl::fromLocalFile(UPDATER_SOURCE_DIR "/README.md").toString();
        Reply toFile(302, "<html>moved</html>"), cutShort(200, bytes.left(200000), Reply::CutShort);
        toFile.location = readme.toUtf8(), cutShort.faultAfter = 199999;
        const QStringList url {"{url}"};
        QTest::newRow("every_byte_value_6MiB") << Fetch {url, Reply(200, bytes), 0, bytes, 0};
        QTest::newRow("empty_body") << Fetch {url, Reply(200, ""), 0, "", 0};
        QTest::newRow("five_redirects_followed") << Fetch {url, Reply(200, "final"), 5, "final", 0};
        QTest::newRow("six_redirects_fail") << Fetch {url, Reply(200, "final"), 6, {}, 1};
        QTest::newRow("status_404") << Fetch {url, Reply(404, "<html>error page</html>"), 0, {}, 1};
        QTest::newRow("redirect_without_location")
            << Fetch {url, Reply(302, "<html>moved</html>"), 0, {}, 1};
        QTest::newRow("redirect_to_a_file") << Fetch {url, toFile, 0, {}, 1};
        QTest::newRow("cut_short_by_one_byte") << Fetch {url, cutShort, 0, {}, 1};
        QTest::newRow("over_64MiB")
            << Fetch {url, Reply(200, QByteArray((64 << 20) + 1, 'x')), 0, {}, 1};
        QTest::newRow("stalls_mid_body")
            << Fetch {url, Reply(200, bytes.left(100000), Reply::Stall), 0, {}, 1};
        QTest::newRow("file_url") << Fetch {{readme}, Reply(200, "x"), 0, {}, 1};
        QTest::newRow("nobody_listening") << Fetch {{"{gone}"}, Reply(200, "x"), 0, {}, 1};
        QTest::newRow("no_arguments") << Fetch {{}, Reply(200, "x"), 0, {}, 2};
        QTest::newRow("two_arguments") << Fetch {{"{url}", "{url}"}, Reply(200, "x"), 0, {}, 2};
        // A name that only the proxy resolves.
        QTest::newRow("through_the_proxy") << Fetch {url, Reply(200, "final"), 1, "final", 0, 1};
        QTest::newRow("proxy_asks_for_credentials") << Fetch {url, Reply(200, "x"), 0, {}, 1, 2};
    }

    void fetch()
    {
        QFETCH(Fetch, row);
        const QString gone = HttpServer().url("/");
        HttpServer server;
        QStringList hops {"/0"};
        for (int i = 1; i <= row.redirects; hops << QString("/%1").arg(i++)) {
            Reply redirect(302);
            redirect.location = QString("/%1").arg(i).toUtf8();
            server.route(hops.last(), redirect);
        }
        server.route(hops.last(), row.answer);
        server.demandCredentials(row.proxy == 2);
        const QString first = row.proxy
            ? server.url("/0").replace("127.0.0.1", "tavrix-updates.invalid")
            : server.url("/0");
        QElapsedTimer clock;
        clock.start();
        QProcess tool;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (row.proxy)
            environment.insert("http_proxy", server.url());
        tool.setProcessEnvironment(environment);
        tool.start(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe",
            row.arguments.replaceInStrings("{url}", first).replaceInStrings("{gone}", gone));
        // Standard input gets a line and stays open: a tool reading it would print it or hang.
        tool.write("content from stdin\n");
        QVERIFY(tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit);
        const QByteArray out = tool.readAllStandardOutput(), err = tool.readAllStandardError();
        QCOMPARE(tool.exitCode(), row.code);
        QVERIFY(out == row.expected);
        // Content, or a reason on one line; no retries, at most five redirects.
        QVERIFY2(row.code ? err.count('\n') == 1 && err.endsWith('\n')
                    && (row.code == 1 || err.contains("usage"))
                          : err.isEmpty(),
            err.constData());
        QVERIFY(row.proxy != 2 || err.contains("the proxy asks for credentials (HTTP 407)"));
        // Through the proxy, each request names the whole address.
        QCOMPARE(server.requests(),
            row.code == 2 || !row.arguments.contains(first)
                ? QStringList()
                : hops.mid(0, 6).replaceInStrings(
                    QRegularExpression("^"), row.proxy ? first.left(first.size() - 2) : QString()));
        // A stalled body ends the tool by itself, before the updater's bound of 10 s.
        QVERIFY(row.answer.fault != Reply::Stall
            || (clock.elapsed() >= 5000 && clock.elapsed() < 10000));
    }

    // The updater reports once, never from inside get(): a failure at its bound for a tool that
    // hangs (ending it), well before it when there is no tool; what a tool printed, whatever its
    // exit code; and why it failed.
    void callerEndsTheWait_data()
    {
        QTest::addColumn<QStringList>("script"); // empty: no tool; {"real"}: the fetch tool
        QTest::addColumn<int>("bound");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("before");
        QTest::addColumn<QVariantList>("report");
        QTest::addColumn<QString>("reason"); // a pattern
        const QVariantList failed {false, QByteArray()};
        // A coarse timer may fire up to 5% early.
        QTest::newRow("tool_hangs") << QStringList {"sleep 60000"} << 2000 << 1900 << 5000 << failed
                                    << "^no answer within 2000 ms$";
        QTest::newRow("no_tool") << QStringList() << 10000 << 0 << 5000 << failed << ".";
        QTest::newRow("output_whatever_the_exit_code")
            << QStringList {"print {}", "exit 1"} << 10000 << 0 << 5000
            << QVariantList {true, QByteArray("{}")} << "^$";
        QTest::newRow("reason_of_the_tool")
            << QStringList {"real"} << 10000 << 0 << 5000 << QVariantList {true, QByteArray()}
            << "^updateCurl: .*port 9\\b.*$";
    }

    void callerEndsTheWait()
    {
        QFETCH(QStringList, script);
        QFETCH(int, bound);
        QFETCH(int, from);
        QFETCH(int, before);
        QFETCH(QVariantList, report);
        QFETCH(QString, reason);
        const bool real = script == QStringList {"real"};
        QTemporaryDir dir;
        QVERIFY(script.isEmpty() || real
            || TestSupport::installFake(dir.path(), "updateCurl.exe", script));
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH", QFile::encodeName(dir.path()));
        getUrl fetcher;
        fetcher.setProgramDir(real ? UPDATER_TOOLS_BIN_DIR : dir.path());
        QSignalSpy end(&fetcher, &getUrl::getEnd);
        QElapsedTimer clock;
        clock.start();
        fetcher.get("http://127.0.0.1:9/packages/update.json", bound);
        QVERIFY(end.isEmpty() && end.wait(60000));
        QVERIFY2(clock.elapsed() >= from && clock.elapsed() < before,
            qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(end.first(), report);
        QVERIFY2(fetcher.failureReason().contains(QRegularExpression(reason)),
            qPrintable(fetcher.failureReason()));
        QTRY_COMPARE_WITH_TIMEOUT(
            fetcher.findChild<QProcess*>()->state(), QProcess::NotRunning, 30000);
        QCoreApplication::processEvents();
        QCOMPARE(end.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestUpdateCurl)
#include "tst_updatecurl.moc"
