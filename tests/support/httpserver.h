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
struct Response;
}

// One answer of the loopback server, with a fault on demand.
struct Reply
{
    enum Fault { None, CutShort, Stall, Endless, NoAnswer };
    int status = 200;
    QByteArray body; // an endless body repeats it
    Fault fault = None;
    qint64 faultAfter = -1; // body bytes sent before a cut or a stall; -1: half
    int delayMs = 0;
    QByteArray location;
};

// Loopback HTTP server on its own thread: a routed path gets its reply, any
// other path a file below serveFolder()'s folder, else 404.
class HttpServer
{
public:
    explicit HttpServer(quint16 port = 0); // 0: any free port
    ~HttpServer();
    bool isListening() const { return port > 0; }
    QString url(const QString &path = QString()) const { return QString("http://127.0.0.1:%1%2").arg(port).arg(path); }
    void route(const QString &path, const Reply &reply);
    void route(const QString &path, const QByteArray &body);
    void serveFolder(const QString &dir);
    QStringList requests() const; // decoded paths, in order of arrival

private:
    void answer(const QString &path, httplib::Response &response);

    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> stopping{false};
    mutable QMutex mutex;
    QMap<QString, Reply> routes;
    QString folder;
    QStringList asked;
    int port = 0;
};

#endif // TESTSUPPORT_HTTPSERVER_H
