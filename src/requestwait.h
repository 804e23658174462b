#ifndef REQUESTWAIT_H
#define REQUESTWAIT_H

#include <QByteArray>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
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

// Waits on a local event loop until reply has finished, handing a successful
// answer's body to sink as it arrives. The wait ends early when stopRequested()
// says so (looked at every 100 ms), after silenceMs without a byte, or when the
// body grows past maxBytes.
RequestOutcome waitForReply(QNetworkReply* reply, qint64 maxBytes, int silenceMs,
    const std::function<bool()>& stopRequested, const BodySink& sink);

// Starts a GET whose body is taken as it is read: memory stays flat while the disk catches up.
QNetworkReply* startGet(QNetworkAccessManager* manager, const QUrl& url);

// A whole body of at most maxBytes, waited for as waitForReply() waits.
RequestOutcome fetchBody(QNetworkAccessManager* manager, const QUrl& url, qint64 maxBytes,
    int silenceMs, const std::function<bool()>& stopRequested, QByteArray* body);

#endif // REQUESTWAIT_H
