// The loopback server's own behaviour, seen by raw sockets so that the bytes
// on the wire (and faults) can be checked exactly.

#include "httpserver.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

const int WaitMs = 20000;

struct Parsed {
    int status = 0;
    QByteArray head;
    QByteArray body;
    qint64 contentLength = -1;
};

// Splits the first response off raw; false while it is incomplete.
bool takeResponse(QByteArray *raw, Parsed *parsed, bool headRequest = false)
{
    const int end = raw->indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    const QByteArray head = raw->left(end);
    qint64 length = -1;
    const QList<QByteArray> lines = head.split('\n');
    for (const QByteArray &line : lines) {
        if (line.toLower().startsWith("content-length:"))
            length = line.mid(15).trimmed().toLongLong();
    }
    const qint64 bodyBytes = headRequest ? 0 : qMax<qint64>(length, 0);
    if (raw->size() < end + 4 + bodyBytes)
        return false;
    parsed->head = head;
    parsed->status = lines.first().split(' ').value(1).toInt();
    parsed->contentLength = length;
    parsed->body = raw->mid(end + 4, int(bodyBytes));
    raw->remove(0, end + 4 + int(bodyBytes));
    return true;
}

bool hasResponse(const QByteArray &raw)
{
    QByteArray copy = raw;
    Parsed parsed;
    return takeResponse(&copy, &parsed);
}

class RawClient
{
public:
    explicit RawClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket,
                         [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    QTcpSocket socket;
    QByteArray received;
};

TestHttpServer::Response faulty(TestHttpServer::Fault fault, const QByteArray &body)
{
    TestHttpServer::Response response;
    response.body = body;
    response.fault = fault;
    return response;
}

} // namespace

class TestHttpServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answers_data();
    void answers();
    void keepAliveAnswersInOrder();
    void cutShortSendsLessThanAnnounced();
    void stallAndNoAnswerKeepConnectionOpen_data();
    void stallAndNoAnswerKeepConnectionOpen();
    void endlessStopsWhenClientLeaves();
    void largeFileStreamedWhole();

private:
    TestHttpServer *m_server = nullptr;
    QTemporaryDir *m_dir = nullptr;
};

void TestHttpServerTest::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY2(m_dir->isValid(), qPrintable(m_dir->errorString()));
    QVERIFY(TestSupport::writeFile(m_dir->filePath(QStringLiteral("secret.txt")), "secret\n"));
    QVERIFY(TestSupport::writeFile(m_dir->filePath(QStringLiteral("root/file.txt")), "from disk\n"));
    QVERIFY(TestSupport::writeFile(m_dir->filePath(QStringLiteral("root/sub/inner.txt")), "inner\n"));

    m_server = new TestHttpServer(this);
    QVERIFY2(m_server->listen(), qPrintable(m_server->errorString()));
    m_server->setRoot(m_dir->filePath(QStringLiteral("root")));
    m_server->setRoute(QStringLiteral("/a"), QByteArray("route a\n"));
    m_server->setRoute(QStringLiteral("/b"), QByteArray("route b, a little longer\n"));
}

void TestHttpServerTest::cleanup()
{
    delete m_server;
    m_server = nullptr;
    delete m_dir;
    m_dir = nullptr;
}

void TestHttpServerTest::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body"); // null: not checked
    QTest::addColumn<QString>("recorded");

    const QByteArray close = " HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n";
    QTest::newRow("route_200") << "GET /a" + close << 200 << QByteArray("route a\n") << QStringLiteral("/a");
    QTest::newRow("route_matches_without_query")
        << "GET /a?v=1" + close << 200 << QByteArray("route a\n") << QStringLiteral("/a?v=1");
    QTest::newRow("file_from_root_200")
        << "GET /file.txt" + close << 200 << QByteArray("from disk\n") << QStringLiteral("/file.txt");
    QTest::newRow("file_in_subfolder_200")
        << "GET /sub/inner.txt" + close << 200 << QByteArray("inner\n") << QStringLiteral("/sub/inner.txt");
    QTest::newRow("missing_file_404") << "GET /nothing" + close << 404 << QByteArray() << QStringLiteral("/nothing");
    QTest::newRow("directory_404") << "GET /sub" + close << 404 << QByteArray() << QStringLiteral("/sub");
    QTest::newRow("dotdot_rejected_403")
        << "GET /../secret.txt" + close << 403 << QByteArray() << QStringLiteral("/../secret.txt");
    QTest::newRow("encoded_dotdot_rejected_403")
        << "GET /%2e%2e/secret.txt" + close << 403 << QByteArray() << QStringLiteral("/%2e%2e/secret.txt");
    QTest::newRow("post_405")
        << QByteArray("POST /a HTTP/1.1\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc") << 405
        << QByteArray() << QStringLiteral("/a");
    QTest::newRow("http10_closes_by_default")
        << QByteArray("GET /a HTTP/1.0\r\n\r\n") << 200 << QByteArray("route a\n") << QStringLiteral("/a");
    QTest::newRow("bare_lf_line_ends")
        << QByteArray("GET /a HTTP/1.1\nConnection: close\n\n") << 200 << QByteArray("route a\n")
        << QStringLiteral("/a");
    QTest::newRow("bad_request_line_400") << QByteArray("NONSENSE\r\n\r\n") << 400 << QByteArray() << QString();
}

void TestHttpServerTest::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, recorded);

    RawClient client(m_server->port());
    client.socket.write(request);
    // Every row asks the server to close, so the whole answer ends with it.
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, WaitMs);

    Parsed parsed;
    QVERIFY2(takeResponse(&client.received, &parsed), client.received.constData());
    QCOMPARE(parsed.status, status);
    QCOMPARE(parsed.contentLength, qint64(parsed.body.size()));
    if (!body.isNull())
        QCOMPARE(parsed.body, body);
    QVERIFY2(client.received.isEmpty(), client.received.constData());
    QCOMPARE(m_server->requests(), recorded.isNull() ? QStringList() : QStringList(recorded));
}

void TestHttpServerTest::keepAliveAnswersInOrder()
{
    RawClient client(m_server->port());
    QSignalSpy seen(m_server, &TestHttpServer::requestReceived);

    // The first request arrives in pieces, then two come pipelined at once.
    client.socket.write("GET /b HT");
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.bytesToWrite(), qint64(0), WaitMs);
    client.socket.write("TP/1.1\r\nHost: te");
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.bytesToWrite(), qint64(0), WaitMs);
    client.socket.write("st\r\n\r\n");

    Parsed first;
    // QTRY evaluates its condition once more after success, so it must be pure.
    QTRY_VERIFY_WITH_TIMEOUT(hasResponse(client.received), WaitMs);
    QVERIFY(takeResponse(&client.received, &first));
    QCOMPARE(first.status, 200);
    QCOMPARE(first.body, QByteArray("route b, a little longer\n"));
    QCOMPARE(client.socket.state(), QAbstractSocket::ConnectedState);

    client.socket.write("HEAD /file.txt HTTP/1.1\r\n\r\nGET /a HTTP/1.1\r\nConnection: close\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, WaitMs);
    Parsed second;
    QVERIFY2(takeResponse(&client.received, &second, true), client.received.constData());
    QCOMPARE(second.status, 200);
    QCOMPARE(second.contentLength, qint64(10));
    Parsed third;
    QVERIFY2(takeResponse(&client.received, &third), client.received.constData());
    QCOMPARE(third.body, QByteArray("route a\n"));
    QVERIFY(client.received.isEmpty());

    QCOMPARE(m_server->requests(),
             QStringList({QStringLiteral("/b"), QStringLiteral("/file.txt"), QStringLiteral("/a")}));
    QCOMPARE(m_server->requestLog().at(1).method, QByteArray("HEAD"));
    QCOMPARE(seen.count(), 3);
    QCOMPARE(m_server->hits(QStringLiteral("/a")), 1);
}

void TestHttpServerTest::cutShortSendsLessThanAnnounced()
{
    const QByteArray body(1000, 'c');
    m_server->setRoute(QStringLiteral("/cut"), faulty(TestHttpServer::Fault::CutShort, body));

    RawClient client(m_server->port());
    client.socket.write("GET /cut HTTP/1.1\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, WaitMs);

    const int end = client.received.indexOf("\r\n\r\n");
    QVERIFY2(end > 0, client.received.constData());
    QVERIFY(client.received.left(end).contains("Content-Length: 1000"));
    QCOMPARE(client.received.mid(end + 4), body.left(500));
}

void TestHttpServerTest::stallAndNoAnswerKeepConnectionOpen_data()
{
    QTest::addColumn<TestHttpServer::Response>("answer");
    QTest::addColumn<QByteArray>("expectedBody");

    TestHttpServer::Response stall = faulty(TestHttpServer::Fault::Stall, QByteArray(1000, 's'));
    stall.faultAfter = 100;
    QTest::newRow("stall_after_100_bytes") << stall << QByteArray(100, 's');
    QTest::newRow("no_answer") << faulty(TestHttpServer::Fault::NoAnswer, "never\n") << QByteArray();
}

void TestHttpServerTest::stallAndNoAnswerKeepConnectionOpen()
{
    QFETCH(TestHttpServer::Response, answer);
    QFETCH(QByteArray, expectedBody);
    m_server->setRoute(QStringLiteral("/slow"), answer);

    RawClient slow(m_server->port());
    slow.socket.write("GET /slow HTTP/1.1\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(m_server->hits(QStringLiteral("/slow")), 1, WaitMs);

    // A whole exchange on a second connection gives the first time to misbehave.
    RawClient other(m_server->port());
    other.socket.write("GET /a HTTP/1.1\r\nConnection: close\r\n\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(other.socket.state(), QAbstractSocket::UnconnectedState, WaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(expectedBody.isEmpty() || slow.received.endsWith(expectedBody), WaitMs);

    QCOMPARE(slow.socket.state(), QAbstractSocket::ConnectedState);
    const int end = slow.received.indexOf("\r\n\r\n");
    if (expectedBody.isEmpty()) {
        QVERIFY2(slow.received.isEmpty(), slow.received.constData());
    } else {
        QVERIFY(slow.received.left(end).contains("Content-Length: 1000"));
        QCOMPARE(slow.received.mid(end + 4), expectedBody);
    }
}

void TestHttpServerTest::endlessStopsWhenClientLeaves()
{
    m_server->setRoute(QStringLiteral("/endless"), faulty(TestHttpServer::Fault::Endless, "0123456789"));

    {
        RawClient client(m_server->port());
        client.socket.write("GET /endless HTTP/1.1\r\n\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(client.received.size() > 8 * 1024 * 1024, WaitMs);
        QVERIFY(!client.received.left(client.received.indexOf("\r\n\r\n")).contains("Content-Length"));
        QCOMPARE(m_server->openConnections(), 1);
        client.socket.abort();
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, WaitMs);
}

void TestHttpServerTest::largeFileStreamedWhole()
{
    QByteArray data(48 * 1024 * 1024 + 7, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((qint64(i) * 7919) >> 5);
    QVERIFY(TestSupport::writeFile(m_dir->filePath(QStringLiteral("root/big.bin")), data));
    const QByteArray expected = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    data.clear();

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(m_server->url(QStringLiteral("/big.bin"))));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(60000));
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QCOMPARE(QCryptographicHash::hash(reply->readAll(), QCryptographicHash::Sha256), expected);
    reply->deleteLater();
}

QTEST_GUILESS_MAIN(TestHttpServerTest)
#include "tst_httpserver.moc"
