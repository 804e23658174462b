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
    case 204: return "No Content";
    case 302: return "Found";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

TestHttpServer::Response plainResponse(int status, const QByteArray &body)
{
    TestHttpServer::Response response;
    response.status = status;
    response.body = body;
    return response;
}

QString pathOnly(const QString &target)
{
    return target.left(target.indexOf(QLatin1Char('?')));
}

// Clients send non-ASCII paths percent-encoded; routes are given decoded.
QString decodedPath(const QString &target)
{
    return QUrl::fromPercentEncoding(pathOnly(target).toUtf8());
}

} // namespace

class HttpConnection : public QObject
{
public:
    HttpConnection(TestHttpServer *server, QTcpSocket *socket)
        : QObject(server), m_server(server), m_socket(socket)
    {
        m_socket->setParent(this);
        connect(m_socket, &QTcpSocket::readyRead, this, [this] {
            m_in.append(m_socket->readAll());
            processInput();
        });
        connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::pump);
        connect(m_socket, &QTcpSocket::disconnected, this, [this] {
            m_state = State::Closed;
            m_stream = Stream::None;
            deleteLater();
        });
        m_paceTimer.setSingleShot(true);
        m_paceTimer.setInterval(PaceTickMs);
        connect(&m_paceTimer, &QTimer::timeout, this, &HttpConnection::pump);
    }

private:
    enum class State { Idle, Busy, Closing, Closed };
    enum class Stream { None, File, Endless };

    void processInput()
    {
        if (m_processing)
            return;
        m_processing = true;
        while (m_state == State::Idle && m_socket->state() == QAbstractSocket::ConnectedState) {
            while (m_in.startsWith("\r\n"))
                m_in.remove(0, 2);
            const int headEnd = m_in.indexOf("\r\n\r\n");
            if (headEnd < 0) {
                if (m_in.size() > MaxHeadBytes)
                    m_socket->abort();
                break;
            }
            const QByteArray head = m_in.left(headEnd);
            m_in.remove(0, headEnd + 4);
            handleHead(head);
        }
        m_processing = false;
    }

    void handleHead(const QByteArray &head)
    {
        m_state = State::Busy;
        QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.takeFirst().simplified().split(' ');
        if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
            m_socket->abort();
            return;
        }
        QByteArray connection;
        for (const QByteArray &line : qAsConst(lines)) {
            const int colon = line.indexOf(':');
            if (line.left(colon).trimmed().toLower() == "connection")
                connection = line.mid(colon + 1).trimmed().toLower();
        }
        m_keepAlive = requestLine.at(2) == "HTTP/1.0" ? connection.contains("keep-alive")
                                                       : !connection.contains("close");

        const TestHttpServer::Request request{requestLine.at(0), QString::fromUtf8(requestLine.at(1))};
        m_server->m_log.append(request);
        QPointer<HttpConnection> alive(this);
        emit m_server->requestReceived(request.path);
        if (!alive || m_state != State::Busy)
            return;

        TestHttpServer::Response route;
        if (m_server->findRoute(request.path, &route)) {
            if (route.delayMs > 0)
                QTimer::singleShot(route.delayMs, this, [this, route] { send(route); });
            else
                send(route);
        } else if (!m_server->m_root.isEmpty()) {
            serveFile(decodedPath(request.path));
        } else {
            send(plainResponse(404, "not found\n"));
        }
    }

    void serveFile(const QString &path)
    {
        if (!path.startsWith(QLatin1Char('/')) || path.contains(QLatin1String(".."))) {
            send(plainResponse(403, "forbidden\n"));
            return;
        }
        const QString fileName = m_server->m_root + path;
        if (!QFileInfo(fileName).isFile()) {
            send(plainResponse(404, "not found\n"));
            return;
        }
        auto file = new QFile(fileName, this);
        if (!file->open(QIODevice::ReadOnly)) {
            delete file;
            send(plainResponse(403, "cannot open\n"));
            return;
        }
        m_socket->write(head(200, file->size()));
        if (file->size() == 0) {
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

    // contentLength < 0 leaves it out.
    QByteArray head(int status, qint64 contentLength, const QByteArray &location = {}) const
    {
        QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
                         + "\r\nContent-Type: application/octet-stream\r\n";
        if (!location.isEmpty())
            out += "Location: " + location + "\r\n";
        if (contentLength >= 0)
            out += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
        return out + (m_keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
    }

    void send(const TestHttpServer::Response &response)
    {
        using Fault = TestHttpServer::Fault;
        if (m_state != State::Busy || response.fault == Fault::NoAnswer)
            return; // a silent connection stays busy, so later requests go unanswered too

        const QByteArray &body = response.body;
        const bool cut = response.fault == Fault::CutShort || response.fault == Fault::Stall;
        // A fault needs something to cut, so an empty body announces 1 KiB.
        const qint64 announced = cut && body.isEmpty() ? 1024 : body.size();
        const qint64 partial = qBound<qint64>(
            0, response.faultAfter < 0 ? body.size() / 2 : response.faultAfter,
            qMax<qint64>(0, qMin<qint64>(body.size(), announced - 1)));
        if (response.fault == Fault::Endless || response.fault == Fault::CutShort)
            m_keepAlive = false;
        const QByteArray out = head(response.status, response.fault == Fault::Endless ? -1 : announced,
                                    response.location);

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
            m_filler = pattern.repeated(int(ChunkBytes / pattern.size()) + 1);
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
        if (m_socket->state() != QAbstractSocket::ConnectedState || m_stream == Stream::None)
            return;
        while ((m_stream == Stream::Endless || m_remaining > 0)
               && m_socket->bytesToWrite() < HighWaterBytes) {
            const qint64 room = allowance();
            if (room <= 0)
                return;
            if (m_stream == Stream::Endless) {
                // A paced write may end mid-filler; the next one carries on from there.
                const qint64 take = qMin<qint64>(room, m_filler.size() - m_fillerAt);
                m_socket->write(m_filler.constData() + m_fillerAt, take);
                m_fillerAt = (m_fillerAt + take) % m_filler.size();
                m_paced += take;
                continue;
            }
            const QByteArray chunk = m_file->read(qMin(room, m_remaining));
            if (chunk.isEmpty()) {
                // The client must not take a short file for a whole one.
                m_stream = Stream::None;
                m_socket->abort();
                return;
            }
            m_socket->write(chunk);
            m_paced += chunk.size();
            m_remaining -= chunk.size();
        }
        if (m_stream == Stream::File && m_remaining == 0) {
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
        if (!m_in.isEmpty())
            QTimer::singleShot(0, this, [this] { processInput(); });
    }

    TestHttpServer *m_server;
    QTcpSocket *m_socket;
    QByteArray m_in;
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

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection())
            new HttpConnection(this, socket);
    });
}

bool TestHttpServer::listen(quint16 port)
{
    return m_server->listen(QHostAddress::LocalHost, port);
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
    return QUrl(baseUrl() + (path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path));
}

void TestHttpServer::setRoute(const QString &path, const Response &response)
{
    m_routes.insert(path, response);
}

void TestHttpServer::setRoute(const QString &path, const QByteArray &body)
{
    m_routes.insert(path, plainResponse(200, body));
}

void TestHttpServer::setRedirect(const QString &path, const QString &location, int status)
{
    Response response = plainResponse(status, "redirect\n");
    response.location = location.toUtf8();
    m_routes.insert(path, response);
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

void TestHttpServer::setRootBytesPerSecond(qint64 bytesPerSecond)
{
    m_rootBytesPerSecond = bytesPerSecond;
}

QStringList TestHttpServer::requests() const
{
    QStringList paths;
    for (const Request &request : m_log)
        paths.append(request.path);
    return paths;
}

int TestHttpServer::hits(const QString &path) const
{
    int count = 0;
    for (const Request &request : m_log) {
        if (request.path == path || pathOnly(request.path) == path || decodedPath(request.path) == path)
            ++count;
    }
    return count;
}

bool TestHttpServer::findRoute(const QString &target, Response *response) const
{
    for (const QString &key : {target, pathOnly(target), decodedPath(target)}) {
        const auto it = m_routes.constFind(key);
        if (it != m_routes.constEnd()) {
            *response = it.value();
            return true;
        }
    }
    return false;
}
