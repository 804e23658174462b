#include "testsupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// The documented nginx site serving a real update to the real programs.
class TestNginx : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void servesAnUpdate();
    void servesJsonAsJson();
    void refusesListingsAndOtherPaths_data();
    void refusesListingsAndOtherPaths();

private:
    QByteArray get(const QString &path, QByteArray *headers);

    QTemporaryDir dir;
    QProcess nginx;
    QString tree;
};

void TestNginx::initTestCase()
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("nginx"), {
        QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"), QStringLiteral("/usr/bin")});
    if (program.isEmpty())
        QSKIP("nginx is not installed (apt-get install nginx-light)");
    QVERIFY2(dir.isValid(), qPrintable(dir.errorString()));

    tree = dir.filePath(QStringLiteral("tree"));
    const QByteArray list = R"({"updateList":[{"version":"1.1.0","updateType":0,"reason":"nginx"}]})";
    QVERIFY(TestSupport::writeFile(tree + QStringLiteral("/packages/update.json"), list));
    QVERIFY(TestSupport::writeFile(tree + QStringLiteral("/packages/version/1.1.0.json"),
                                   R"({"value":["bin/core.dll","data/readme.txt"]})"));
    QByteArray binary;
    for (int i = 0; i < 256 * 64; ++i)
        binary.append(char(i));
    QVERIFY(TestSupport::writeFile(tree + QStringLiteral("/packages/bin/bin/core.dll"), binary));
    QVERIFY(TestSupport::writeFile(tree + QStringLiteral("/packages/bin/data/readme.txt"), "new\n"));

    QByteArray site = TestSupport::readAll(QStringLiteral(UPDATER_SOURCE_DIR "/docs/nginx-updates.conf"));
    QVERIFY(site.contains("listen 80;") && site.contains("root /srv/tavrix-updates;"));
    site.replace("listen 80;", "listen 127.0.0.1:" + QByteArray::number(UPDATER_TEST_PORT) + ';');
    site.replace("root /srv/tavrix-updates;", "root " + QFile::encodeName(tree) + ';');
    const QString prefix = dir.filePath(QStringLiteral("nginx"));
    QVERIFY(TestSupport::writeFile(prefix + QStringLiteral("/site.conf"), site));
    const QByteArray main = "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                            "error_log " + QFile::encodeName(prefix) + "/error.log;\n"
                            "pid " + QFile::encodeName(prefix) + "/nginx.pid;\n"
                            "events { worker_connections 64; }\n"
                            "http {\n  access_log " + QFile::encodeName(prefix) + "/access.log;\n"
                            "  include " + QFile::encodeName(prefix) + "/site.conf;\n}\n";
    QVERIFY(TestSupport::writeFile(prefix + QStringLiteral("/nginx.conf"), main));

    nginx.setProcessChannelMode(QProcess::MergedChannels);
    nginx.start(program, {QStringLiteral("-p"), prefix, QStringLiteral("-e"),
                          prefix + QStringLiteral("/error.log"), QStringLiteral("-c"),
                          prefix + QStringLiteral("/nginx.conf")});
    QVERIFY2(nginx.waitForStarted(), qPrintable(nginx.errorString()));
    // nginx writes its pid file once it listens; an exit means it could not.
    const QString pidFile = prefix + QStringLiteral("/nginx.pid");
    const bool settled = QTest::qWaitFor(
        [&] { return nginx.state() != QProcess::Running || QFile::exists(pidFile); }, 20000);
    if (!settled || nginx.state() != QProcess::Running) {
        QFAIL(qPrintable(QStringLiteral("nginx did not start: ")
                         + QString::fromLocal8Bit(nginx.readAll())
                         + QString::fromLocal8Bit(TestSupport::readAll(prefix + QStringLiteral("/error.log")))));
    }
}

void TestNginx::cleanupTestCase()
{
    if (nginx.state() != QProcess::NotRunning) {
        nginx.terminate();
        if (!nginx.waitForFinished(10000))
            nginx.kill();
    }
}

QByteArray TestNginx::get(const QString &path, QByteArray *headers)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), UPDATER_TEST_PORT);
    if (!socket.waitForConnected(10000))
        return {};
    socket.write("GET " + path.toUtf8() + " HTTP/1.0\r\nHost: updates\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(10000))
        answer += socket.readAll();
    const int split = answer.indexOf("\r\n\r\n");
    *headers = answer.left(split);
    return answer.mid(split + 4);
}

void TestNginx::servesAnUpdate()
{
    const QString install = dir.filePath(QStringLiteral("install"));
    QVERIFY(QDir().mkpath(install));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_E2E_BIN_DIR "/update.exe"), install + QStringLiteral("/update.exe")));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_TOOLS_BIN_DIR "/updateCurl.exe"),
                        install + QStringLiteral("/updateCurl.exe")));
    QVERIFY(TestSupport::installFakeProgram(install, QStringLiteral("Tavrix.exe"),
                                            {QStringLiteral("record args.txt")}));
    QVERIFY(TestSupport::writeFile(install + QStringLiteral("/version"), "1.0.0"));
    QVERIFY(TestSupport::writeFile(install + QStringLiteral("/data/readme.txt"), "old\n"));

    QProcess updater;
    updater.setWorkingDirectory(install);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    updater.setProcessEnvironment(env);
    updater.start(install + QStringLiteral("/update.exe"), QStringList());
    QVERIFY(updater.waitForFinished(120000));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    QCOMPARE(TestSupport::readAll(install + QStringLiteral("/version")), QByteArray("1.1.0"));
    QCOMPARE(TestSupport::readAll(install + QStringLiteral("/bin/core.dll")),
             TestSupport::readAll(tree + QStringLiteral("/packages/bin/bin/core.dll")));
    QCOMPARE(TestSupport::readAll(install + QStringLiteral("/data/readme.txt")), QByteArray("new\n"));
    QCOMPARE(TestSupport::readAll(install + QStringLiteral("/args.txt")), QByteArray("argc=0\n--\n"));
}

void TestNginx::servesJsonAsJson()
{
    QByteArray headers;
    const QByteArray body = get(QStringLiteral("/packages/update.json"), &headers);
    QVERIFY2(headers.startsWith("HTTP/1.1 200"), headers.constData());
    QVERIFY2(headers.toLower().contains("content-type: application/json"), headers.constData());
    QVERIFY(QJsonDocument::fromJson(body).isObject());
}

void TestNginx::refusesListingsAndOtherPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("listing_of_bin") << QStringLiteral("/packages/bin/");
    QTest::newRow("listing_of_root") << QStringLiteral("/");
    QTest::newRow("outside_packages") << QStringLiteral("/nginx/nginx.conf");
    QTest::newRow("climbing_out") << QStringLiteral("/packages/../../nginx/nginx.conf");
    QTest::newRow("missing_file") << QStringLiteral("/packages/bin/none.txt");
}

void TestNginx::refusesListingsAndOtherPaths()
{
    QFETCH(QString, path);
    QByteArray headers;
    const QByteArray body = get(path, &headers);
    QVERIFY2(headers.startsWith("HTTP/1.1 4"), headers.constData());
    QVERIFY(!body.contains("Index of"));
    QVERIFY(!body.contains("worker_processes"));
}

QTEST_GUILESS_MAIN(TestNginx)
#include "tst_nginx.moc"
