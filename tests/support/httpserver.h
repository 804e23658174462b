#ifndef TESTSUPPORT_HTTPSERVER_H
#define TESTSUPPORT_HTTPSERVER_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

class QTcpServer;

// Loopback HTTP/1.1 server for tests. Serves canned answers per request path,
// falls back to files under a root folder, and can misbehave on purpose.
// It runs in the event loop of the thread that created it, so a test must keep
// that loop running (QSignalSpy::wait, QTRY_*) while a client talks to it.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    enum class Fault {
        None,
        CutShort, // announces the full Content-Length, sends part, closes
        Stall,    // announces the full Content-Length, sends part, then nothing
        Endless,  // no Content-Length; sends bytes until the client goes away
        NoAnswer  // reads the request and never answers
    };

    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray location; // sent as Location when not empty
        int delayMs = 0;     // before the status line
        Fault fault = Fault::None;
        qint64 faultAfter = -1;    // body bytes sent before the fault; -1 = half
        qint64 bytesPerSecond = 0; // paces an Endless body; 0 = as fast as the client reads
    };

    struct Request {
        QByteArray method;
        QString path; // request target as sent, query included
    };

    explicit TestHttpServer(QObject *parent = nullptr);

    bool listen(quint16 port = 0);
    QString errorString() const;
    quint16 port() const;
    QString baseUrl() const; // "http://127.0.0.1:PORT"
    QUrl url(const QString &path) const;

    // Routes match the request target exactly, or else its path without
    // query, or else that path percent-decoded.
    void setRoute(const QString &path, const Response &response);
    void setRoute(const QString &path, const QByteArray &body);
    void setRedirect(const QString &path, const QString &location, int status = 302);
    void setRedirect(const QString &path, const char *location, int status = 302)
    {
        setRedirect(path, QString::fromUtf8(location), status);
    }
    void removeRoute(const QString &path);
    void clearRoutes();

    // GETs without a route serve files below dir, streamed from disk.
    void setRoot(const QString &dir);
    // Files under the root are sent at most this fast, from the next response
    // on; 0 = as fast as the client reads.
    void setRootBytesPerSecond(qint64 bytesPerSecond);

    QStringList requests() const; // request targets in arrival order
    QList<Request> requestLog() const { return m_log; }
    // Counts requests matching path the way a route would.
    int hits(const QString &path) const;

signals:
    void requestReceived(const QString &path);

private:
    friend class HttpConnection;

    bool findRoute(const QString &target, Response *response) const;

    QTcpServer *m_server;
    QHash<QString, Response> m_routes;
    QString m_root;
    qint64 m_rootBytesPerSecond = 0;
    QList<Request> m_log;
};

#endif // TESTSUPPORT_HTTPSERVER_H
