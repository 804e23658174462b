// The real programs over https: the https test builds of update.exe and updateCurl.exe and a fake
// Tavrix.exe against nginx (tests/tls.cmake), which serves the tree a row writes into its root. The
// folder below /packages/bin/ that a row's files are in picks how the server answers them. A row
// reads: the updater, the files, whether the proxy is named, the log -> which server answered the
// files (none: nothing installed).

#include "proxysetting.h"
#include "testsupport.h"

#ifdef Q_OS_WIN
#include <wincrypt.h>
#endif

struct Row
{
    QString updaterDir;
    QString folder;
    int files;
    int answeredBy; // the port whose server sent every file; 0: no server did
    QString protocol; // a pattern of the protocol the files came over
    QString logged; // a pattern of the log, lines joined
    bool throughProxy = false;
};
Q_DECLARE_METATYPE(Row)

static const QString tls = UPDATER_TLS_DIR, root = tls + "/www/packages";

// What was added to a log since offset.
static QByteArray since(const QString& log, qint64 offset)
{
    return TestSupport::readAll(tls + '/' + log).mid(offset);
}

class TestHttps : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
#ifdef Q_OS_WIN
        // Wine's Schannel reads no PEM file but the system's store, shared by the suites.
        const QByteArray der
            = QByteArray::fromBase64(TestSupport::readAll(tls + "/ca.pem")
                                         .replace("-----BEGIN CERTIFICATE-----", "")
                                         .replace("-----END CERTIFICATE-----", ""));
        const HCERTSTORE store = CertOpenStore(
            CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
        QVERIFY(store);
        const bool added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
            reinterpret_cast<const BYTE*>(der.constData()), DWORD(der.size()),
            CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
        CertCloseStore(store, 0);
        QVERIFY(added);
#endif
        QVERIFY2(QFile::exists(tls + "/nginx.pid"), "the https test server is not running");
    }

    void run_data()
    {
        QTest::addColumn<Row>("row");
        const QString https = UPDATER_TLS_BIN_DIR, installed = "^写入更新文件$",
                      anyProtocol = "HTTP/[\\d.]+", failed = "^下载文件: 失败,错误码:";
        const auto row = [](const char* name, const Row& r) { QTest::newRow(name) << r; };
        row("update_over_https", {https, "", 3, UPDATER_TEST_TLS_PORT, anyProtocol, installed});
        row("files_over_http2", {https, "", 3, UPDATER_TEST_TLS_PORT, "HTTP/2\\.0", installed});
        row("http_redirected_to_https",
            {UPDATER_TLS_HTTP_BIN_DIR, "", 3, UPDATER_TEST_TLS_PORT, anyProtocol, installed});
        row("connection_closed_every_10_requests",
            {https, "keepalive/", 30, UPDATER_TEST_TLS_KEEPALIVE_PORT, anyProtocol, installed});
        row("https_through_the_proxy",
            {https, "", 3, UPDATER_TEST_TLS_PORT, anyProtocol, installed, true});
        row("other_authority_refused",
            {https, "other-authority/", 3, 0, {},
                failed + "\\d+错误原因:(?i)[^\\n]*(certificate|ssl)"});
        row("https_redirected_to_http_refused",
            {https, "to-http/", 3, 0, {}, failed + "1005错误原因:"});
    }

    void run()
    {
        QFETCH(Row, row);
        if (row.protocol.startsWith("HTTP/2") && QSysInfo::productType() == "windows")
            QSKIP("Wine's Schannel does not negotiate HTTP/2 (no ALPN): every transfer is 1.1");
        // 1.0.0 installed; 1.1.0 served with the row's files.
        QTemporaryDir tmp;
        const QString app = tmp.filePath("app");
        QVERIFY(TestSupport::install(
            app, row.updaterDir, "1.0.0", {"record args.txt"}, UPDATER_TLS_TOOL_DIR));
        QVERIFY(QDir(root).removeRecursively());
        QMap<QString, QByteArray> served;
        for (int i = 1; i <= row.files; ++i)
            served[row.folder + QString("f%1.txt").arg(i)]
                = QByteArray::number(i).repeated(i * 500);
        for (auto it = served.cbegin(); it != served.cend(); ++it)
            QVERIFY(TestSupport::writeFile(root + "/bin/" + it.key(), it.value()));
        QVERIFY(TestSupport::writeFile(
            root + "/update.json", R"({"updateList":[{"version":"1.1.0","updateType":1}]})"));
        QVERIFY(TestSupport::writeFile(root + "/version/1.1.0.json",
            QJsonDocument(QJsonObject {{"value", QJsonArray::fromStringList(served.keys())}})
                .toJson()));

        const qint64 accessFrom = QFileInfo(tls + "/access.log").size(),
                     proxyFrom = QFileInfo(tls + "/tinyproxy.log").size();
        std::unique_ptr<SystemProxy> proxy;
        if (row.throughProxy)
            proxy = std::make_unique<SystemProxy>(
                "127.0.0.1:" + QByteArray::number(UPDATER_TEST_PROXY_PORT));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // The suites keep loopback addresses away from any proxy.
        if (row.throughProxy)
            environment.remove("no_proxy"), environment.remove("NO_PROXY");
        QProcess updater;
        updater.setProcessEnvironment(environment);
        updater.setWorkingDirectory(app);
        updater.setStandardOutputFile(QProcess::nullDevice());
        updater.setStandardErrorFile(QProcess::nullDevice());
        updater.start(app + "/update.exe", QStringList());
        QVERIFY(updater.waitForStarted(30000));
        const QRegularExpression pattern(row.logged,
            QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption);
        const auto log = [&] { return TestSupport::logMessages(app).join('\n'); };
        // A failed update waits for the user.
        const QRegularExpression failure(
            "^(下载文件: 失败|请求服务器超时：)", QRegularExpression::MultilineOption);
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         return updater.state() == QProcess::NotRunning
                             || failure.match(log()).hasMatch();
                     },
                     120000),
            qPrintable(log().right(300)));
        updater.kill(), updater.waitForFinished();
        const bool installs = row.answeredBy != 0;
        QVERIFY2(pattern.match(log()).hasMatch()
                && (!installs
                    || (updater.exitStatus() == QProcess::NormalExit && updater.exitCode() == 0)),
            qPrintable(log().right(300)));

        QCOMPARE(TestSupport::readAll(app + "/version"), installs ? "1.1.0" : "1.0.0");
        QCOMPARE(TestSupport::readAll(app + "/args.txt"), installs ? "argc=0\n--\n" : "");
        for (auto it = served.cbegin(); it != served.cend(); ++it)
            QVERIFY2(TestSupport::readAll(app + '/' + it.key()) == (installs ? it.value() : ""),
                qPrintable(it.key()));
        // Who sent the files: nginx logs a request as it ends.
        const auto sent = [&](const QString& file, const QString& port, const QString& protocol) {
            return QRegularExpression(QString("^%1 \\d+ \\d+ \"GET /packages/bin/%2 (%3)\" 200 ")
                                          .arg(port, QRegularExpression::escape(file), protocol),
                QRegularExpression::MultilineOption)
                .match(since("access.log", accessFrom))
                .hasMatch();
        };
        for (auto it = served.cbegin(); it != served.cend(); ++it)
            QVERIFY2(
                installs ? QTest::qWaitFor(
                    [&] { return sent(it.key(), QString::number(row.answeredBy), row.protocol); },
                    10000)
                         : !sent(it.key(), "\\d+", "HTTP/[\\d.]+"),
                qPrintable(it.key()));
        // Over HTTP/2 the files share a connection until the server ends it at its 10th request
        // (HTTP/1.1 under Wine spreads them over several, which need not reach it).
        if (row.answeredBy == UPDATER_TEST_TLS_KEEPALIVE_PORT
            && QSysInfo::productType() != "windows")
            QVERIFY(QRegularExpression(
                QString("^%1 \\d+ 10 ").arg(row.answeredBy), QRegularExpression::MultilineOption)
                        .match(since("access.log", accessFrom))
                        .hasMatch());
        if (row.throughProxy)
            QVERIFY(
                since("tinyproxy.log", proxyFrom)
                    .contains("CONNECT localhost:" + QByteArray::number(UPDATER_TEST_TLS_PORT)));
    }
};

QTEST_GUILESS_MAIN(TestHttps)
#include "tst_https.moc"
