#include "requestwait.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

namespace {

const qint64 readBufferSize = 1024 * 1024;

bool isSuccessStatus(const QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 200 && status <= 299;
}

} // namespace

RequestOutcome waitForReply(QNetworkReply* reply, qint64 maxBytes, int silenceMs,
    const std::function<bool()>& stopRequested, const BodySink& sink)
{
    RequestOutcome outcome;
    qint64 received = 0;
    QEventLoop loop;
    // The bound is on silence, not on the whole transfer: a large file on a
    // slow line installs as long as bytes keep coming.
    QTimer silence;
    silence.setSingleShot(true);
    silence.setTimerType(Qt::PreciseTimer); // a coarse timer may fire up to 5% early
    QObject::connect(&silence, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto drain = [&] {
        silence.start(silenceMs);
        if (outcome.sinkFailed || outcome.tooLarge)
            return;
        const QByteArray chunk = reply->readAll();
        received += chunk.size();
        if (received > maxBytes) {
            outcome.tooLarge = true;
            reply->abort();
            return;
        }
        // An error page is never handed on.
        if (chunk.isEmpty() || !isSuccessStatus(reply))
            return;
        if (!sink(chunk)) {
            outcome.sinkFailed = true;
            reply->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, drain);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (stopRequested())
            loop.quit();
    });
    watch.start(100);
    silence.start(silenceMs);
    if (!reply->isFinished())
        loop.exec();

    const bool unfinished = !reply->isFinished();
    if (unfinished)
        reply->abort();
    else
        drain();
    qDebug() << "replay->error = " << int(reply->error());

    if (outcome.sinkFailed)
        return outcome;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (unfinished && stopRequested()) {
        outcome.stopped = true;
    } else if (unfinished) {
        outcome.code = QNetworkReply::TimeoutError;
        outcome.reason = QStringLiteral("no byte for %1 ms").arg(silenceMs);
    } else if (outcome.tooLarge) {
        outcome.code = QNetworkReply::UnknownContentError;
        outcome.reason = QStringLiteral("body larger than %1 bytes").arg(maxBytes);
    } else if (reply->error() != QNetworkReply::NoError) {
        outcome.code = reply->error();
        outcome.reason = reply->errorString();
        // A scheme this build cannot speak (https on Windows, which has no TLS here).
        const QUrl target = QUrl::fromEncoded(reply->rawHeader("Location"));
        if (reply->error() == QNetworkReply::ProtocolUnknownError && !target.isEmpty())
            outcome.reason = QStringLiteral("cannot follow the redirect to ")
                + reply->url().resolved(target).toString();
    } else if (!isSuccessStatus(reply)) {
        outcome.code = status;
        outcome.reason
            = QStringLiteral("HTTP %1 %2")
                  .arg(status)
                  .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    } else if (length.isValid() && length.toLongLong() != received
        && reply->url()
            == reply->request().url()) { // after a redirect Qt may keep the first length
        outcome.code = QNetworkReply::RemoteHostClosedError;
        outcome.reason = QStringLiteral("body cut short: %1 of %2 bytes")
                             .arg(received)
                             .arg(length.toLongLong());
    } else {
        outcome.ok = true;
    }
    return outcome;
}

QNetworkReply* startGet(QNetworkAccessManager* manager, const QUrl& url)
{
    QNetworkReply* reply = manager->get(QNetworkRequest(url));
    reply->setReadBufferSize(readBufferSize);
    return reply;
}

RequestOutcome fetchBody(QNetworkAccessManager* manager, const QUrl& url, qint64 maxBytes,
    int silenceMs, const std::function<bool()>& stopRequested, QByteArray* body)
{
    QNetworkReply* reply = startGet(manager, url);
    const RequestOutcome outcome
        = waitForReply(reply, maxBytes, silenceMs, stopRequested, [body](const QByteArray& chunk) {
              *body += chunk;
              return true;
          });
    delete reply;
    return outcome;
}
