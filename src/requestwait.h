#ifndef REQUESTWAIT_H
#define REQUESTWAIT_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

// How one request ended.
struct RequestOutcome
{
    bool ok = false;
    bool sinkFailed = false;
    bool tooLarge = false;
    bool stopped = false; // aborted, or the worker is going away
    int code = 0;
    QString reason;
};

// Takes each piece of a body; false stops the request.
using BodySink = std::function<bool(const QByteArray&)>;

// Reads one reply as it arrives, handing a successful answer's body to sink. ended() is called,
// once and from the event loop, when the reply has finished, after silenceMs without a byte, or
// when the body grows past maxBytes. The reader owns the reply.
class ReplyReader
{
public:
    ReplyReader(QNetworkReply* reply, qint64 maxBytes, int silenceMs, BodySink sink,
        std::function<void()> ended);
    ~ReplyReader();
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    QNetworkReply* reply() const { return networkReply; }
    // Ends the request; stopped says whether an unfinished one was stopped rather than silent.
    RequestOutcome outcome(bool stopped);

private:
    void drain();
    void end();

    QNetworkReply* const networkReply;
    const qint64 maxBytes;
    const int silenceMs;
    const BodySink sink;
    const std::function<void()> ended;
    qint64 received = 0;
    bool sinkFailed = false;
    bool tooLarge = false;
    bool hasEnded = false;
    QTimer silence;
    QObject context;
};

// Waits on a local event loop until a ReplyReader of reply has ended; the wait also ends when
// stopRequested() says so (looked at every 100 ms).
RequestOutcome waitForReply(QNetworkReply* reply, qint64 maxBytes, int silenceMs,
    const std::function<bool()>& stopRequested, const BodySink& sink);

// A GET whose body is taken as it is read: memory stays flat while the disk catches up.
QNetworkReply* startGet(QNetworkAccessManager* manager, const QNetworkRequest& request);

// A whole body of at most maxBytes, waited for as waitForReply() waits.
RequestOutcome fetchBody(QNetworkAccessManager* manager, const QUrl& url, qint64 maxBytes,
    int silenceMs, const std::function<bool()>& stopRequested, QByteArray* body);

#endif // REQUESTWAIT_H
