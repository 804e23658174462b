#ifndef TESTSUPPORT_HTTPSERVER_H
#define TESTSUPPORT_HTTPSERVER_H

#include <QMap>
#include <QMutex>
#include <QStringList>

#include <atomic>
#include <memory>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}

// One answer of the loopback server, with a fault on demand. Trickle sends faultAfter bytes each
// delayMs; WholeOnly ignores Range as some servers do; RangeRefused answers a range with 416 as
// some proxies do; the other faults come after faultAfter bytes of the body (-1: half of it). Range
// is honoured otherwise, with If-Range against etag.
struct Reply
{
    enum Fault { None, CutShort, Stall, Endless, NoAnswer, Trickle, WholeOnly, RangeRefused };
    Reply(int status = 200, const QByteArray& body = {}, Fault fault = None)
        : status(status)
        , body(body)
        , fault(fault)
    {
    }
    int status;
    QByteArray body; // an endless body repeats it
    Fault fault;
    qint64 faultAfter = -1;
    int delayMs = 0;
    QByteArray location;
    QByteArray etag;
};

// Loopback HTTP server on its own thread; paths without a route get 404. It is also a forward
// proxy for names only it knows: such requests are recorded with their absolute URL.
class HttpServer
{
public:
    explicit HttpServer(quint16 port = 0); // 0: any free port
    ~HttpServer();
    bool isListening() const { return port > 0; }
    QString url(const QString& path = QString()) const
    {
        return QString("http://127.0.0.1:%1%2").arg(port).arg(path);
    }
    void route(const QString& path, const Reply& reply)
    {
        QMutexLocker locker(&mutex);
        routes.insert(path, reply);
    }
    void route(const QString& path, const QByteArray& body) { route(path, Reply(200, body)); }
    // As a proxy, answers 407 asking for credentials.
    void demandCredentials(bool demand) { demandsCredentials = demand; }
    // Decoded paths, in order of arrival.
    QStringList requests() const
    {
        QMutexLocker locker(&mutex);
        return asked;
    }

private:
    void answer(const httplib::Request& request, httplib::Response& response);

    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> stopping {false};
    std::atomic<bool> demandsCredentials {false};
    mutable QMutex mutex;
    QMap<QString, Reply> routes;
    QStringList asked;
    int port = 0;
};

#endif // TESTSUPPORT_HTTPSERVER_H
