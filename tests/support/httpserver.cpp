#include "httpserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const int MaxHeadBytes = 64 * 1024;
const qint64 ChunkBytes = 256 * 1024;
// Refill only once the socket has drained below this, so a slow client holds
// back a large file instead of the server reading it all into memory.
const qint64 HighWaterBytes = 1024 * 1024;
const int PaceTickMs = 20;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 300: return "Multiple Choices";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

bool hasHeader(const QList<QPair<QByteArray, QByteArray>> &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray headerValue(const QList<QPair<QByteArray, QByteArray>> &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

bool headerHasToken(const QByteArray &value, const QByteArray &token)
{
    const QList<QByteArray> parts = value.split(',');
    for (const QByteArray &part : parts) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

TestHttpServer::Response plainResponse(int status, const QByteArray &body)
{
    TestHttpServer::Response response;
    response.status = status;
    response.body = body;
    response.headers.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain")});
    return response;
}

QString pathOnly(const QString &target)
{
    const int query = target.indexOf(QLatin1Char('?'));
    return query < 0 ? target : target.left(query);
}

// Clients send non-ASCII paths percent-encoded; routes are given decoded.
QString decodedPath(const QString &target)
{
    return QUrl::fromPercentEncoding(pathOnly(target).toUtf8());
}

} // namespace

namespace TestSupportDetail {

class HttpConnection : public QObject
{
public:
    HttpConnection(TestHttpServer *server, QTcpSocket *socket)
        : QObject(server), m_server(server), m_socket(socket)
    {
        m_socket->setParent(this);
        connect(m_socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
        connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::pump);
        connect(m_socket, &QTcpSocket::disconnected, this, &HttpConnection::onDisconnected);
        m_paceTimer.setSingleShot(true);
        m_paceTimer.setInterval(PaceTickMs);
        connect(&m_paceTimer, &QTimer::timeout, this, &HttpConnection::pump);
        m_server->m_connections.insert(this);
    }

    ~HttpConnection() override { m_server->m_connections.remove(this); }

    void abort()
    {
        m_state = State::Closed;
        m_socket->abort();
    }

private:
    enum class State { Idle, Busy, Closing, Closed };
    enum class Stream { None, File, Endless };

    void onDisconnected()
    {
        m_state = State::Closed;
        m_stream = Stream::None;
        deleteLater();
    }

    void onReadyRead()
    {
        m_in.append(m_socket->readAll());
        processInput();
    }

    void processInput()
    {
        if (m_processing)
            return;
        m_processing = true;
        while (m_state == State::Idle && m_socket->state() == QAbstractSocket::ConnectedState) {
            if (m_discard > 0) {
                const qint64 n = qMin<qint64>(m_discard, m_in.size());
                m_in.remove(0, int(n));
                m_discard -= n;
                if (m_discard > 0)
                    break;
            }
            // Stray line ends between requests are allowed.
            while (m_in.startsWith("\r\n") || m_in.startsWith("\n"))
                m_in.remove(0, m_in.startsWith("\r\n") ? 2 : 1);

            int headEnd = -1;
            int separator = 0;
            const int crlf = m_in.indexOf("\r\n\r\n");
            const int lf = m_in.indexOf("\n\n");
            if (crlf >= 0 && (lf < 0 || crlf <= lf)) {
                headEnd = crlf;
                separator = 4;
            } else if (lf >= 0) {
                headEnd = lf;
                separator = 2;
            }
            if (headEnd < 0) {
                if (m_in.size() > MaxHeadBytes) {
                    m_keepAlive = false;
                    m_state = State::Busy;
                    send(plainResponse(431, "request head too large\n"), false);
                }
                break;
            }
            const QByteArray head = m_in.left(headEnd);
            m_in.remove(0, headEnd + separator);
            handleHead(head);
        }
        m_processing = false;
    }

    void handleHead(const QByteArray &head)
    {
        m_state = State::Busy;
        QList<QByteArray> lines = head.split('\n');
        for (QByteArray &line : lines) {
            if (line.endsWith('\r'))
                line.chop(1);
        }
        const QList<QByteArray> requestLine = lines.takeFirst().simplified().split(' ');
        if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
            m_keepAlive = false;
            send(plainResponse(400, "bad request line\n"), false);
            return;
        }

        TestHttpServer::Request request;
        request.method = requestLine.at(0);
        request.version = requestLine.at(2);
        QString target = QString::fromUtf8(requestLine.at(1));
        if (target.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)) {
            const QUrl absolute(target);
            target = absolute.path(QUrl::FullyEncoded);
            if (target.isEmpty())
                target = QStringLiteral("/");
            if (absolute.hasQuery())
                target += QLatin1Char('?') + absolute.query(QUrl::FullyEncoded);
        }
        request.path = target;

        for (const QByteArray &line : qAsConst(lines)) {
            if (!line.isEmpty() && (line.at(0) == ' ' || line.at(0) == '\t')
                && !request.headers.isEmpty()) {
                request.headers.last().second += ' ' + line.trimmed();
                continue;
            }
            const int colon = line.indexOf(':');
            if (colon <= 0) {
                m_keepAlive = false;
                send(plainResponse(400, "bad header line\n"), false);
                return;
            }
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }

        const QByteArray connection = headerValue(request.headers, "Connection");
        if (request.version == "HTTP/1.0")
            m_keepAlive = headerHasToken(connection, "keep-alive");
        else
            m_keepAlive = !headerHasToken(connection, "close");

        if (hasHeader(request.headers, "Transfer-Encoding")) {
            // Request bodies are never needed here; don't try to find the next request.
            m_keepAlive = false;
        } else if (hasHeader(request.headers, "Content-Length")) {
            bool ok = false;
            const qint64 length = headerValue(request.headers, "Content-Length").toLongLong(&ok);
            if (!ok || length < 0) {
                m_keepAlive = false;
                send(plainResponse(400, "bad Content-Length\n"), false);
                return;
            }
            m_discard = length;
        }

        QPointer<HttpConnection> alive(this);
        m_server->record(request);
        if (!alive || m_state != State::Busy)
            return;
        dispatch(request);
    }

    void dispatch(const TestHttpServer::Request &request)
    {
        const bool head = request.method == "HEAD";
        if (request.method != "GET" && !head) {
            TestHttpServer::Response response = plainResponse(405, "method not allowed\n");
            response.headers.append({QByteArrayLiteral("Allow"), QByteArrayLiteral("GET, HEAD")});
            send(response, false);
            return;
        }

        TestHttpServer::Response route;
        if (m_server->findRoute(request.path, &route)) {
            if (route.delayMs > 0) {
                QTimer::singleShot(route.delayMs, this, [this, route, head] { send(route, head); });
                return;
            }
            send(route, head);
            return;
        }

        if (!m_server->m_root.isEmpty()) {
            serveFile(request.path, head);
            return;
        }
        send(plainResponse(404, "not found\n"), head);
    }

    void serveFile(const QString &target, bool head)
    {
        const QString path = QUrl::fromPercentEncoding(pathOnly(target).toUtf8());
        if (!path.startsWith(QLatin1Char('/')) || path.contains(QLatin1String(".."))
            || path.contains(QLatin1Char('\\')) || path.contains(QChar(0))) {
            send(plainResponse(403, "forbidden\n"), head);
            return;
        }
        const QString fileName = m_server->m_root + path;
        const QFileInfo info(fileName);
        if (!info.exists() || !info.isFile()) {
            send(plainResponse(404, "not found\n"), head);
            return;
        }
        auto file = new QFile(fileName, this);
        if (!file->open(QIODevice::ReadOnly)) {
            qWarning("TestHttpServer: cannot open %s: %s", qPrintable(fileName),
                     qPrintable(file->errorString()));
            delete file;
            send(plainResponse(403, "cannot open\n"), head);
            return;
        }
        QByteArray out = statusLine(200);
        out += "Content-Type: application/octet-stream\r\n";
        out += "Content-Length: " + QByteArray::number(file->size()) + "\r\n";
        out += connectionHeader();
        out += "\r\n";
        m_socket->write(out);
        if (head || file->size() == 0) {
            delete file;
            finishResponse();
            return;
        }
        m_file = file;
        m_remaining = file->size();
        m_stream = Stream::File;
        startPace(m_server->m_rootBytesPerSecond);
        pump();
    }

    QByteArray statusLine(int status) const
    {
        return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n"
               + "Server: TestHttpServer\r\n";
    }

    QByteArray connectionHeader() const
    {
        return m_keepAlive ? QByteArrayLiteral("Connection: keep-alive\r\n")
                           : QByteArrayLiteral("Connection: close\r\n");
    }

    void send(const TestHttpServer::Response &response, bool head)
    {
        if (m_state != State::Busy)
            return;
        using Fault = TestHttpServer::Fault;
        if (response.fault == Fault::NoAnswer)
            return; // stays busy: later requests on this connection go unanswered too

        const QByteArray &body = response.body;
        // A fault needs something to cut, so an empty body announces 1 KiB.
        const qint64 announced = (response.fault == Fault::CutShort || response.fault == Fault::Stall)
                                         && body.isEmpty()
                                     ? 1024
                                     : body.size();
        qint64 partial = response.faultAfter < 0 ? body.size() / 2 : response.faultAfter;
        partial = qBound<qint64>(0, partial, qMax<qint64>(0, qMin<qint64>(body.size(), announced - 1)));

        if (response.fault == Fault::Endless || response.fault == Fault::CutShort)
            m_keepAlive = false;

        QByteArray out = statusLine(response.status);
        if (!response.location.isEmpty())
            out += "Location: " + response.location + "\r\n";
        if (!hasHeader(response.headers, "Content-Type"))
            out += "Content-Type: application/octet-stream\r\n";
        if (response.fault != Fault::Endless && !hasHeader(response.headers, "Content-Length")
            && !hasHeader(response.headers, "Transfer-Encoding"))
            out += "Content-Length: " + QByteArray::number(announced) + "\r\n";
        for (const auto &header : response.headers)
            out += header.first + ": " + header.second + "\r\n";
        out += connectionHeader();
        out += "\r\n";

        if (head) {
            m_socket->write(out);
            finishResponse();
            return;
        }

        switch (response.fault) {
        case Fault::None:
        case Fault::NoAnswer:
            m_socket->write(out + body);
            finishResponse();
            return;
        case Fault::CutShort:
            m_socket->write(out + body.left(int(partial)));
            m_state = State::Closing;
            m_socket->disconnectFromHost();
            return;
        case Fault::Stall:
            m_socket->write(out + body.left(int(partial)));
            return; // stays busy until the client gives up
        case Fault::Endless: {
            m_socket->write(out + body);
            const QByteArray pattern = body.isEmpty() ? QByteArrayLiteral("x") : body;
            m_filler.clear();
            while (m_filler.size() < ChunkBytes)
                m_filler += pattern;
            m_fillerAt = 0;
            m_stream = Stream::Endless;
            startPace(response.bytesPerSecond);
            pump();
            return;
        }
        }
    }

    void startPace(qint64 bytesPerSecond)
    {
        m_rate = bytesPerSecond;
        m_paced = 0;
        m_paceClock.start();
    }

    // How many body bytes may go out now; when none, the pace timer tries again.
    qint64 allowance()
    {
        if (m_rate <= 0)
            return ChunkBytes;
        const qint64 due = m_rate * m_paceClock.elapsed() / 1000 - m_paced;
        if (due <= 0) {
            if (!m_paceTimer.isActive())
                m_paceTimer.start();
            return 0;
        }
        return qMin(ChunkBytes, due);
    }

    void pump()
    {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return;
        if (m_stream == Stream::Endless) {
            while (m_socket->bytesToWrite() < HighWaterBytes) {
                const qint64 room = allowance();
                if (room <= 0)
                    return;
                // A paced write may end mid-filler; the next one carries on from there.
                const qint64 take = qMin<qint64>(room, m_filler.size() - m_fillerAt);
                m_socket->write(m_filler.constData() + m_fillerAt, take);
                m_fillerAt = (m_fillerAt + take) % m_filler.size();
                m_paced += take;
            }
            return;
        }
        if (m_stream != Stream::File)
            return;
        while (m_remaining > 0 && m_socket->bytesToWrite() < HighWaterBytes) {
            const qint64 room = allowance();
            if (room <= 0)
                return;
            const QByteArray chunk = m_file->read(qMin(room, m_remaining));
            if (chunk.isEmpty()) {
                qWarning("TestHttpServer: cannot read %s: %s", qPrintable(m_file->fileName()),
                         qPrintable(m_file->errorString()));
                delete m_file;
                m_file = nullptr;
                m_stream = Stream::None;
                // The client must not take a short file for a whole one.
                abort();
                return;
            }
            m_socket->write(chunk);
            m_paced += chunk.size();
            m_remaining -= chunk.size();
        }
        if (m_remaining == 0) {
            delete m_file;
            m_file = nullptr;
            m_stream = Stream::None;
            finishResponse();
        }
    }

    void finishResponse()
    {
        if (m_state != State::Busy)
            return;
        if (!m_keepAlive) {
            m_state = State::Closing;
            m_socket->disconnectFromHost();
            return;
        }
        m_state = State::Idle;
        // Pipelined requests may already be waiting.
        if (!m_in.isEmpty() || m_discard > 0)
            QTimer::singleShot(0, this, [this] { processInput(); });
    }

    TestHttpServer *m_server;
    QTcpSocket *m_socket;
    QByteArray m_in;
    qint64 m_discard = 0;
    State m_state = State::Idle;
    bool m_keepAlive = true;
    bool m_processing = false;
    Stream m_stream = Stream::None;
    QFile *m_file = nullptr;
    qint64 m_remaining = 0;
    QByteArray m_filler;
    qint64 m_fillerAt = 0;
    qint64 m_rate = 0; // body bytes per second; 0 = unpaced
    qint64 m_paced = 0;
    QElapsedTimer m_paceClock;
    QTimer m_paceTimer;
};

} // namespace TestSupportDetail

using TestSupportDetail::HttpConnection;

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestHttpServer::acceptConnections);
}

TestHttpServer::~TestHttpServer()
{
    m_server->close();
    const auto connections = m_connections;
    qDeleteAll(connections);
}

bool TestHttpServer::listen(quint16 port)
{
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        qWarning("TestHttpServer: cannot listen on port %u: %s", unsigned(port),
                 qPrintable(m_server->errorString()));
        return false;
    }
    return true;
}

void TestHttpServer::close()
{
    m_server->close();
    const auto connections = m_connections;
    for (HttpConnection *connection : connections)
        connection->abort();
}

bool TestHttpServer::isListening() const
{
    return m_server->isListening();
}

QString TestHttpServer::errorString() const
{
    return m_server->errorString();
}

quint16 TestHttpServer::port() const
{
    return m_server->serverPort();
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QUrl TestHttpServer::url(const QString &path) const
{
    if (path.startsWith(QLatin1Char('/')))
        return QUrl(baseUrl() + path);
    return QUrl(baseUrl() + QLatin1Char('/') + path);
}

void TestHttpServer::setRoute(const QString &path, const Response &response)
{
    m_routes.insert(path, response);
}

void TestHttpServer::setRoute(const QString &path, const QByteArray &body)
{
    Response response;
    response.body = body;
    m_routes.insert(path, response);
}

void TestHttpServer::setRedirect(const QString &path, const QByteArray &location, int status)
{
    Response response;
    response.status = status;
    response.location = location;
    response.body = "redirect\n";
    response.headers.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain")});
    m_routes.insert(path, response);
}

void TestHttpServer::setRedirect(const QString &path, const char *location, int status)
{
    setRedirect(path, QByteArray(location), status);
}

void TestHttpServer::setRedirect(const QString &path, const QString &location, int status)
{
    setRedirect(path, location.toUtf8(), status);
}

void TestHttpServer::setRedirect(const QString &path, const QUrl &location, int status)
{
    setRedirect(path, location.toEncoded(), status);
}

void TestHttpServer::removeRoute(const QString &path)
{
    m_routes.remove(path);
}

void TestHttpServer::clearRoutes()
{
    m_routes.clear();
}

void TestHttpServer::setRoot(const QString &dir)
{
    m_root = dir.isEmpty() ? QString() : QDir::cleanPath(QDir(dir).absolutePath());
}

QString TestHttpServer::root() const
{
    return m_root;
}

void TestHttpServer::setRootBytesPerSecond(qint64 bytesPerSecond)
{
    m_rootBytesPerSecond = qMax<qint64>(0, bytesPerSecond);
}

qint64 TestHttpServer::rootBytesPerSecond() const
{
    return m_rootBytesPerSecond;
}

QStringList TestHttpServer::requests() const
{
    QStringList paths;
    paths.reserve(m_log.size());
    for (const Request &request : m_log)
        paths.append(request.path);
    return paths;
}

QList<TestHttpServer::Request> TestHttpServer::requestLog() const
{
    return m_log;
}

int TestHttpServer::hits(const QString &path) const
{
    int count = 0;
    for (const Request &request : m_log) {
        if (request.path == path || pathOnly(request.path) == path
            || decodedPath(request.path) == path)
            ++count;
    }
    return count;
}

void TestHttpServer::clearRequests()
{
    m_log.clear();
}

int TestHttpServer::openConnections() const
{
    return m_connections.size();
}

void TestHttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        new HttpConnection(this, socket);
}

void TestHttpServer::record(const Request &request)
{
    m_log.append(request);
    emit requestReceived(request.path);
}

bool TestHttpServer::findRoute(const QString &target, Response *response) const
{
    auto it = m_routes.constFind(target);
    if (it == m_routes.constEnd())
        it = m_routes.constFind(pathOnly(target));
    if (it == m_routes.constEnd())
        it = m_routes.constFind(decodedPath(target));
    if (it == m_routes.constEnd())
        return false;
    *response = it.value();
    return true;
}
