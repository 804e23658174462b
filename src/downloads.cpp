#include "downloads.h"

#include "installfile.h"
#include "requestwait.h"
#include "sha256.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <algorithm>

namespace {

// Smaller files are fetched whole again: recording them would cost more than it saves.
const qint64 resumableSize = 256 * 1024;

// What If-Range may carry: a strong ETag, or else the date the file changed.
QByteArray validatorOf(const QNetworkReply* reply)
{
    const QByteArray etag = reply->rawHeader("ETag");
    return !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply->rawHeader("Last-Modified");
}

// The first byte of a 206 answer ("Content-Range: bytes 100-199/200"); -1 without one.
qint64 rangeStart(const QNetworkReply* reply)
{
    const QByteArray range = reply->rawHeader("Content-Range").trimmed();
    const int dash = range.indexOf('-');
    bool ok = false;
    const qint64 start = range.startsWith("bytes ") ? range.mid(6, dash - 6).toLongLong(&ok) : -1;
    return ok ? start : -1;
}

} // namespace

struct DownloadQueue::Active
{
    Active(const Download& download, const QString& localPath, const QString& stagedPath,
        UpdateLog& log)
        : download(download)
        , target(localPath, stagedPath, this->download.expected(), log)
    {
    }
    const Download download;
    InstallFile target;
    std::unique_ptr<ReplyReader> reader;
    qint64 resumeFrom = 0; // bytes asked to be skipped
    bool begun = false;
    bool restart = false; // the answer cannot continue the staged part
    bool fromStart = false; // already the second try
};

DownloadQueue::DownloadQueue(QNetworkAccessManager* manager, const DownloadSettings& settings,
    std::function<bool()> stopRequested, UpdateLog& log)
    : manager(manager)
    , settings(settings)
    , stopRequested(std::move(stopRequested))
    , log(log)
{
}

DownloadQueue::~DownloadQueue() = default;

QString DownloadQueue::localPath(const Download& download) const
{
    return settings.installDir + QLatin1Char('/') + download.path;
}

void keepLatestByKey(QVector<Download>* downloads)
{
    const auto byKey
        = [](const Download& a, const Download& b) { return fileKey(a.path) < fileKey(b.path); };
    std::stable_sort(downloads->begin(), downloads->end(), byKey);
    auto kept = downloads->begin();
    for (auto it = downloads->begin(); it != downloads->end(); ++it) {
        if (it + 1 == downloads->end() || byKey(*it, *(it + 1)))
            *kept++ = std::move(*it);
    }
    downloads->erase(kept, downloads->end());
}

bool DownloadQueue::run(const QVector<Download>& downloads, const Staged& onStaged)
{
    pending = downloads;
    next = 0;
    staged = &onStaged;
    // One line per file as it started; a later line for a path wins.
    QFile recorded(settings.resumeRecord);
    if (recorded.open(QIODevice::ReadOnly)) {
        while (!recorded.atEnd()) {
            const QJsonObject line = QJsonDocument::fromJson(recorded.readLine()).object();
            record.insert(line.value(QStringLiteral("path")).toString(), line);
        }
    }
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &context, [this] {
        if (stopRequested()) {
            wasStopped = true;
            loop.quit();
        }
    });
    watch.start(100);
    fill();
    if (!active.empty() || checking > 0)
        loop.exec();
    active.clear(); // what is still under way stops; its staged part stays for the next run
    hashers.waitForDone();
    QCoreApplication::removePostedEvents(&context, QEvent::MetaCall);
    return !failed && !wasStopped && next == pending.size();
}

void DownloadQueue::fill()
{
    while (
        !failed && int(active.size()) + checking < settings.connections && next < pending.size()) {
        if (stopRequested()) {
            wasStopped = true;
            break;
        }
        const Download& download = pending.at(next++);
        if (download.expected())
            check(download);
        else
            start(download, true);
    }
    if ((active.empty() && checking == 0) || failed || wasStopped)
        loop.quit();
}

void DownloadQueue::check(const Download& download)
{
    // Hashed beside the event loop, which keeps the downloads under way flowing.
    ++checking;
    hashers.start([this, download] {
        const StagedFrom from = hasContent(localPath(download), download.listed)
            ? StagedFrom::Installed
            : hasContent(stagedPath(download), download.listed) ? StagedFrom::EarlierRun
                                                                : StagedFrom::Server;
        QMetaObject::invokeMethod(
            &context, [this, download, from] { checked(download, from); }, Qt::QueuedConnection);
    });
}

void DownloadQueue::checked(const Download& download, StagedFrom from)
{
    --checking;
    if (failed || wasStopped)
        return;
    if (from == StagedFrom::Server) {
        start(download, true);
    } else {
        log.write((from == StagedFrom::Installed ? QStringLiteral("文件已是最新,无需下载:")
                                                 : QStringLiteral("文件已下载,无需再次下载:"))
            + download.path);
        (*staged)(download, download.listed, from);
    }
    fill();
}

void DownloadQueue::start(const Download& download, bool mayResume)
{
    auto fresh = std::make_unique<Active>(download, localPath(download), stagedPath(download), log);
    Active* const raw = fresh.get();
    raw->fromStart = !mayResume;
    const QUrl url(settings.fileUrl + urlPath(download.path), QUrl::TolerantMode);
    QNetworkRequest request(url);
    QByteArray validator;
    raw->resumeFrom = mayResume ? resumablePart(download, &validator) : 0;
    log.write(QStringLiteral("下载文件:"));
    if (raw->resumeFrom > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(raw->resumeFrom) + '-');
        request.setRawHeader("If-Range", validator);
        request.setRawHeader("Accept-Encoding", "identity"); // a range of the bytes as stored
        log.write(QStringLiteral("续传文件:%1 已有%2字节").arg(download.path).arg(raw->resumeFrom));
    }
    const qint64 maxBytes = download.expected() ? qMin(download.listed.size, settings.maxFileSize)
                                                : settings.maxFileSize;
    raw->reader = std::make_unique<ReplyReader>(
        startGet(manager, request), maxBytes, settings.silenceMs,
        [this, raw](const QByteArray& chunk) { return take(raw, chunk); },
        [this, raw] {
            // Queued: the reader that tells is deleted there.
            QMetaObject::invokeMethod(
                &context, [this, raw] { settle(raw); }, Qt::QueuedConnection);
        });
    active.push_back(std::move(fresh));
}

bool DownloadQueue::take(Active* active, const QByteArray& chunk)
{
    if (!std::exchange(active->begun, true)) {
        const QNetworkReply* reply = active->reader->reply();
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 206) {
            if (active->resumeFrom == 0 || rangeStart(reply) != active->resumeFrom) {
                active->restart = true;
                return false;
            }
            if (!active->target.resume(active->resumeFrom))
                return false;
        } else {
            if (active->resumeFrom > 0)
                log.write(QStringLiteral("服务器发来整个文件,从头下载:") + active->download.path);
            active->resumeFrom = 0;
            remember(active->download, validatorOf(reply));
        }
    }
    return active->target.write(chunk);
}

void DownloadQueue::settle(Active* settled)
{
    const auto found = std::find_if(active.begin(), active.end(),
        [settled](const std::unique_ptr<Active>& each) { return each.get() == settled; });
    if (found == active.end() || failed || wasStopped)
        return; // the run has ended; a second failure is not the cause
    std::unique_ptr<Active> done = std::move(*found);
    active.erase(found);
    const RequestOutcome outcome = done->reader->outcome(stopRequested());
    if (outcome.stopped) {
        wasStopped = true;
        loop.quit();
        return;
    }
    const bool ok = outcome.ok && done->target.commit();
    // A resumed file that does not end as listed, or whose range is refused (412, 416, a proxy's
    // 400), is fetched once more, whole.
    const int status
        = done->reader->reply()->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool resumed = done->resumeFrom > 0 && (outcome.ok || status >= 400);
    if (!ok && !done->fromStart && (done->restart || resumed)) {
        log.write(QStringLiteral("续传未成功,从头重新下载:") + done->download.path);
        start(done->download, false);
        return;
    }
    if (!ok) {
        // Its part goes to the disk first: the next run resumes from all that came.
        const Download download = done->download;
        done.reset();
        logFailure(download, outcome);
        failed = true;
        loop.quit();
        return;
    }
    (*staged)(done->download, done->target.content(), StagedFrom::Server);
    fill();
}

void DownloadQueue::logFailure(const Download& download, const RequestOutcome& outcome)
{
    // A local failure has been logged where it happened.
    if (outcome.ok || outcome.sinkFailed)
        return;
    if (download.expected() && outcome.tooLarge) {
        log.write(
            QStringLiteral("文件校验失败:") + localPath(download) + QStringLiteral(" 大小不符"));
        return;
    }
    log.write(QStringLiteral("下载文件:") + QStringLiteral(" 失败,错误码:")
        + QString::number(outcome.code) + QStringLiteral("错误原因:") + outcome.reason);
    qDebug() << settings.fileUrl + download.path << " get failed!";
}

qint64 DownloadQueue::resumablePart(const Download& download, QByteArray* validator) const
{
    const SignedFile& listed = download.listed;
    if (listed.size < resumableSize)
        return 0;
    const QJsonObject entry = record.value(download.path).toObject();
    const QFileInfo staged(stagedPath(download));
    *validator = entry.value(QStringLiteral("validator")).toString().toLatin1();
    const bool same
        = Sha256Digest::fromHex(entry.value(QStringLiteral("sha256")).toString()) == listed.sha256;
    return same && !validator->isEmpty() && staged.isFile() && staged.size() < listed.size
        ? staged.size()
        : 0;
}

void DownloadQueue::remember(const Download& download, const QByteArray& validator)
{
    if (download.listed.size < resumableSize || validator.isEmpty())
        return;
    const QJsonObject line {{QStringLiteral("path"), download.path},
        {QStringLiteral("sha256"), QString::fromLatin1(download.listed.sha256.toHex())},
        {QStringLiteral("validator"), QString::fromLatin1(validator)}};
    record.insert(download.path, line);
    // Appended, neither flushed nor replaced whole: a line lost or torn only costs a download from
    // the start.
    QFile file(settings.resumeRecord);
    if (!file.open(QIODevice::Append)
        || file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n') < 0)
        qDebug() << "cannot keep" << file.fileName() << file.errorString();
}
