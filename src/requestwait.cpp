#include "requestwait.h"

#include <QDebug>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <utility>

namespace {

const qint64 readBufferSize = 1024 * 1024;

bool isSuccessStatus(const QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 200 && status <= 299;
}

} // namespace

ReplyReader::ReplyReader(QNetworkReply* reply, qint64 maxBytes, int silenceMs, BodySink sink,
    std::function<void()> ended)
    : networkReply(reply)
    , maxBytes(maxBytes)
    , silenceMs(silenceMs)
    , sink(std::move(sink))
    , ended(std::move(ended))
{
    // The bound is on silence, not on the whole transfer: a large file on a
    // slow line installs as long as bytes keep coming.
    silence.setSingleShot(true);
    silence.setTimerType(Qt::PreciseTimer); // a coarse timer may fire up to 5% early
    // Queued: whoever is told may delete this reader.
    QObject::connect(
        &silence, &QTimer::timeout, &context, [this] { end(); }, Qt::QueuedConnection);
    QObject::connect(reply, &QNetworkReply::readyRead, &context, [this] { drain(); });
    QObject::connect(
        reply, &QNetworkReply::finished, &context, [this] { end(); }, Qt::QueuedConnection);
    silence.start(silenceMs);
    if (reply->isFinished())
        QTimer::singleShot(0, &context, [this] { end(); });
}

ReplyReader::~ReplyReader()
{
    QObject::disconnect(networkReply, nullptr, &context, nullptr);
    delete networkReply;
}

void ReplyReader::drain()
{
    silence.start(silenceMs);
    if (sinkFailed || tooLarge)
        return;
    const QByteArray chunk = networkReply->readAll();
    received += chunk.size();
    if (received > maxBytes) {
        tooLarge = true;
        networkReply->abort();
        return;
    }
    // An error page is never handed on.
    if (chunk.isEmpty() || !isSuccessStatus(networkReply))
        return;
    if (!sink(chunk)) {
        sinkFailed = true;
        networkReply->abort();
    }
}

void ReplyReader::end()
{
    if (!std::exchange(hasEnded, true))
        ended();
}

RequestOutcome ReplyReader::outcome(bool stopped)
{
    RequestOutcome outcome;
    silence.stop();
    const bool unfinished = !networkReply->isFinished();
    if (unfinished) {
        QObject::disconnect(networkReply, nullptr, &context, nullptr);
        networkReply->abort();
    } else {
        drain();
    }
    qDebug() << "replay->error = " << int(networkReply->error());

    outcome.sinkFailed = sinkFailed;
    outcome.tooLarge = tooLarge;
    if (sinkFailed)
        return outcome;
    QNetworkReply* const reply = networkReply;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (unfinished && stopped) {
        outcome.stopped = true;
    } else if (unfinished) {
        outcome.code = QNetworkReply::TimeoutError;
        outcome.reason = QStringLiteral("no byte for %1 ms").arg(silenceMs);
    } else if (tooLarge) {
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
        if (reply->error() == QNetworkReply::ProxyAuthenticationRequiredError)
            outcome.reason = QStringLiteral("代理服务器要求身份验证:") + reply->errorString();
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

RequestOutcome waitForReply(QNetworkReply* reply, qint64 maxBytes, int silenceMs,
    const std::function<bool()>& stopRequested, const BodySink& sink)
{
    QEventLoop loop;
    ReplyReader reader(reply, maxBytes, silenceMs, sink, [&loop] { loop.quit(); });
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (stopRequested())
            loop.quit();
    });
    watch.start(100);
    loop.exec();
    return reader.outcome(stopRequested());
}

QNetworkReply* startGet(QNetworkAccessManager* manager, const QNetworkRequest& request)
{
    QNetworkReply* reply = manager->get(request);
    reply->setReadBufferSize(readBufferSize);
    return reply;
}

RequestOutcome fetchBody(QNetworkAccessManager* manager, const QUrl& url, qint64 maxBytes,
    int silenceMs, const std::function<bool()>& stopRequested, QByteArray* body)
{
    return waitForReply(startGet(manager, QNetworkRequest(url)), maxBytes, silenceMs, stopRequested,
        [body](const QByteArray& chunk) {
            *body += chunk;
            return true;
        });
}
