#include "httpserver.h"

#include <httplib.h>

#include <QUrl>

#include <climits>

using namespace std::chrono;

HttpServer::HttpServer(quint16 fixedPort)
    : server(std::make_unique<httplib::Server>())
{
#ifndef _WIN32 // by default a second server could take the same port
    server->set_socket_options([](socket_t sock) {
        int on = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    });
#endif
    // An idle client must not hold up the end.
    server->set_keep_alive_timeout(1).set_keep_alive_max_count(INT_MAX);
    server->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        answer(request, response);
    });
    port = fixedPort ? (server->bind_to_port("127.0.0.1", fixedPort) ? fixedPort : 0)
                     : qMax(0, server->bind_to_any_port("127.0.0.1"));
    if (port > 0)
        thread = std::thread([this] { server->listen_after_bind(); });
    for (int i = 0; port > 0 && i < 5000 && !server->is_running(); ++i)
        std::this_thread::sleep_for(1ms);
}

HttpServer::~HttpServer()
{
    stopping = true;
    server->stop();
    if (thread.joinable())
        thread.join();
}

void HttpServer::answer(const httplib::Request& request, httplib::Response& response)
{
    // As a proxy, asked for an absolute URL: answered from the same routes, recorded whole.
    const QString target = QString::fromStdString(request.path);
    const QUrl absolute(target);
    const QString path = absolute.scheme() == "http" ? absolute.path() : target;
    const std::string ifRange = request.get_header_value("If-Range");
    mutex.lock();
    asked << target;
    const Reply reply
        = path != target && demandsCredentials ? Reply(407) : routes.value(path, Reply(404));
    mutex.unlock();
    if (reply.status == 407)
        response.set_header("Proxy-Authenticate", "Basic realm=\"proxy\"");
    const bool trickle = reply.fault == Reply::Trickle;
    const auto end = steady_clock::now()
        + milliseconds(reply.fault == Reply::NoAnswer ? INT_MAX
                : trickle                             ? 0
                                                      : reply.delayMs);
    while (!stopping && steady_clock::now() < end)
        std::this_thread::sleep_for(10ms);
    // The library sends the range asked for; the status must say so.
    const bool whole = reply.fault == Reply::WholeOnly
        || (!ifRange.empty() && ifRange != reply.etag.toStdString());
    response.status = reply.status == 200 && !request.ranges.empty() && !whole ? 206 : reply.status;
    if (reply.fault == Reply::RangeRefused && !request.ranges.empty()) {
        response.status = 416;
        return;
    }
    if (!reply.location.isEmpty())
        response.set_header("Location", reply.location.toStdString());
    if (!reply.etag.isEmpty())
        response.set_header("ETag", reply.etag.toStdString());
    const auto body = std::make_shared<std::string>(reply.body.toStdString());
    const size_t cut = reply.faultAfter < 0 ? body->size() / 2 : size_t(reply.faultAfter);
    const bool stall = reply.fault == Reply::Stall;
    if (trickle) {
        response.set_content_provider(body->size(), "application/octet-stream",
            [=](size_t at, size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(milliseconds(at ? reply.delayMs : 0));
                return !stopping
                    && sink.write(
                        body->data() + at, std::min(body->size() - at, size_t(reply.faultAfter)));
            });
    } else if (stall || reply.fault == Reply::CutShort) {
        response.set_content_provider(body->size(), "application/octet-stream",
            [=](size_t at, size_t, httplib::DataSink& sink) {
                if (at < cut)
                    return sink.write(body->data() + at, cut - at);
                std::this_thread::sleep_for(10ms);
                return stall && !stopping; // false closes the connection
            });
    } else if (reply.fault == Reply::WholeOnly
        || (!ifRange.empty() && ifRange != reply.etag.toStdString())) {
        // Chunked, the library applies no range.
        response.set_chunked_content_provider(
            "application/octet-stream", [=](size_t at, httplib::DataSink& sink) {
                if (at == body->size())
                    sink.done();
                return at == body->size() || sink.write(body->data() + at, body->size() - at);
            });
    } else if (reply.fault == Reply::Endless) {
        response.set_chunked_content_provider(
            "application/octet-stream", [=](size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(10ms);
                return !stopping && sink.write(body->data(), body->size());
            });
    } else {
        response.set_content(*body, "application/octet-stream");
    }
}
