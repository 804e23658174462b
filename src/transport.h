#ifndef TRANSPORT_H
#define TRANSPORT_H

// How the updater and the fetch tool speak HTTP: libcurl's multi interface, one handle per run,
// HTTP/2 multiplexed over TLS where the server offers it, HTTP/1.1 with kept-alive connections
// otherwise. The TLS settings, the proxy, the redirect rules, the bounds and the failure texts live
// here for both programs. Free of Qt: the fetch tool has none.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace transport {

// A failure's number in the log: the HTTP status when an answer came, curl's error code when none
// did, or one of these.
enum Code : int {
    TooLarge = 1001, // the body grew past its bound
    CutShort = 1002, // the body ended before the length its answer announced
    Silence = 1003, // no byte for the silence bound
    Slow = 1004, // the connection averaged under slowBytesPerSecond over the silence bound
    InsecureRedirect = 1005, // a redirect to http after an https hop
};

inline constexpr int maxRedirects = 5;
inline constexpr int64_t slowBytesPerSecond = 1024;
inline constexpr int multiplexedStreams = 100;

struct Outcome
{
    bool ok = false;
    bool stopped = false; // cancelled, or the run was stopped
    bool sinkFailed = false; // the taker of the body refused it; it has said why
    bool retryable = false; // the connection broke under it: worth asking once more
    int status = 0; // the last answer's HTTP status; 0 without one
    int code = 0; // see Code; 0 when ok
    std::string reason; // one line
};

// The head of a 2xx answer, handed over before its first byte.
struct Head
{
    int status = 0;
    std::string etag;
    std::string lastModified;
    std::string contentRange;
};

struct Request
{
    std::string url;
    std::vector<std::string> headers; // "Name: value"
    int64_t maxBytes = INT64_MAX; // the body's bound
    int totalMs = 0; // a bound on the whole transfer; 0: only silence and slowness end it
    bool headOnly = false;
    // A 2xx answer's head, then its body piece by piece; false from either ends the transfer
    // (sinkFailed). An error page is never handed on.
    std::function<bool(const Head&)> begin;
    std::function<bool(const char* data, size_t size)> body;
    // Called once, from wait(), unless the transfer was cancelled.
    std::function<void(const Outcome&)> done;
};

// The transfers of one run, on one libcurl multi handle. Used from one thread; only wakeup() may
// be called from another.
class Transfers
{
public:
    // connections bounds HTTP/1.1 connections to a host; silenceMs bounds silence, connecting and
    // slowness.
    Transfers(int connections, int silenceMs);
    ~Transfers();
    Transfers(const Transfers&) = delete;
    Transfers& operator=(const Transfers&) = delete;

    int add(Request request); // its id
    void cancel(int id);
    // Waits up to ms for the network (or wakeup()), moves every transfer on, reports the ended.
    void wait(int ms);
    // Waits until no transfer is left or stop() says so (asked at least every 100 ms); then
    // cancels what is left.
    void runUntilDone(const std::function<bool()>& stop);
    void wakeup();
    int count() const;
    // Whether the server's connection multiplexes (HTTP/2): known once an answer came.
    bool multiplexed() const;
    // How many transfers are worth running at once.
    int window() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// libcurl's process-wide set-up; false when it failed. Called before any thread starts.
bool initialise();

} // namespace transport

#endif // TRANSPORT_H
