#include "downloads.h"

#include "installfile.h"
#include "sha256.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QUrl>

#include <algorithm>

namespace {

// Smaller files are fetched whole again: recording them would cost more than it saves.
const qint64 resumableSize = 256 * 1024;

// What If-Range may carry: a strong ETag, or else the date the file changed.
QByteArray validatorOf(const transport::Head& head)
{
    const QByteArray etag = QByteArray::fromStdString(head.etag);
    return !etag.isEmpty() && !etag.startsWith("W/") ? etag
                                                     : QByteArray::fromStdString(head.lastModified);
}

// The first byte of a 206 answer ("Content-Range: bytes 100-199/200"); -1 without one.
qint64 rangeStart(const transport::Head& head)
{
    const QByteArray range = QByteArray::fromStdString(head.contentRange).trimmed();
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
    int id = 0;
    qint64 resumeFrom = 0; // bytes asked to be skipped
    bool restart = false; // the answer cannot continue the staged part
    bool fromStart = false; // already the second try
    bool retried = false; // already asked again after its connection broke
};

DownloadQueue::DownloadQueue(transport::Transfers& transfers, const DownloadSettings& settings,
    std::function<bool()> stopRequested, UpdateLog& log)
    : transfers(transfers)
    , settings(settings)
    , stopRequested(std::move(stopRequested))
    , log(log)
{
}

DownloadQueue::~DownloadQueue()
{
    for (const std::unique_ptr<Active>& each : active)
        transfers.cancel(each->id);
}

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
    log.hold(true);
    fill();
    while ((!active.empty() || checking > 0) && !failed && !wasStopped) {
        transfers.wait(100);
        log.flushDue();
        for (const auto& each : [this] {
                 QMutexLocker locker(&checkedMutex);
                 return std::exchange(checkedFiles, {});
             }())
            checked(each.first, each.second);
        if (stopRequested())
            wasStopped = true;
    }
    // What is still under way stops; its staged part stays for the next run.
    for (const std::unique_ptr<Active>& each : active)
        transfers.cancel(each->id);
    active.clear();
    hashers.waitForDone();
    log.hold(false);
    return !failed && !wasStopped && next == pending.size();
}

void DownloadQueue::fill()
{
    while (!failed && int(active.size()) + checking < transfers.window() && next < pending.size()) {
        if (stopRequested()) {
            wasStopped = true;
            break;
        }
        const Download& download = pending.at(next++);
        // Only a copy that is there can be reused; most are not, and need no hashing thread.
        if (download.expected()
            && (QFileInfo::exists(localPath(download)) || QFileInfo::exists(stagedPath(download))))
            check(download);
        else
            start(download, true);
    }
}

void DownloadQueue::check(const Download& download)
{
    // Hashed beside the transfers, which keep flowing meanwhile.
    ++checking;
    hashers.start([this, download] {
        const StagedFrom from = hasContent(localPath(download), download.listed)
            ? StagedFrom::Installed
            : hasContent(stagedPath(download), download.listed) ? StagedFrom::EarlierRun
                                                                : StagedFrom::Server;
        QMutexLocker locker(&checkedMutex);
        checkedFiles.emplace_back(download, from);
        transfers.wakeup();
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

void DownloadQueue::start(const Download& download, bool mayResume, bool retried)
{
    auto fresh = std::make_unique<Active>(download, localPath(download), stagedPath(download), log);
    Active* const raw = fresh.get();
    raw->fromStart = !mayResume;
    raw->retried = retried;
    transport::Request request;
    request.url = QUrl(settings.fileUrl + urlPath(download.path), QUrl::TolerantMode)
                      .toEncoded()
                      .toStdString();
    QByteArray validator;
    raw->resumeFrom = mayResume ? resumablePart(download, &validator) : 0;
    log.write(QStringLiteral("下载文件:"));
    if (raw->resumeFrom > 0) {
        request.headers = {"Range: bytes=" + std::to_string(raw->resumeFrom) + '-',
            "If-Range: " + validator.toStdString()};
        log.write(QStringLiteral("续传文件:%1 已有%2字节").arg(download.path).arg(raw->resumeFrom));
    }
    request.maxBytes = download.expected() ? qMin(download.listed.size, settings.maxFileSize)
                                           : settings.maxFileSize;
    request.begin = [this, raw](const transport::Head& head) { return begin(raw, head); };
    request.body = [raw](const char* data, size_t size) {
        return raw->target.write(QByteArray::fromRawData(data, int(size)));
    };
    request.done = [this, raw](const transport::Outcome& outcome) { settle(raw, outcome); };
    active.push_back(std::move(fresh));
    raw->id = transfers.add(std::move(request));
}

bool DownloadQueue::begin(Active* active, const transport::Head& head)
{
    if (head.status == 206) {
        if (active->resumeFrom == 0 || rangeStart(head) != active->resumeFrom) {
            active->restart = true;
            return false;
        }
        return active->target.resume(active->resumeFrom);
    }
    if (active->resumeFrom > 0)
        log.write(QStringLiteral("服务器发来整个文件,从头下载:") + active->download.path);
    active->resumeFrom = 0;
    remember(active->download, validatorOf(head));
    return true;
}

void DownloadQueue::settle(Active* settled, const transport::Outcome& outcome)
{
    const auto found = std::find_if(active.begin(), active.end(),
        [settled](const std::unique_ptr<Active>& each) { return each.get() == settled; });
    if (found == active.end() || failed || wasStopped)
        return; // the run has ended; a second failure is not the cause
    std::unique_ptr<Active> done = std::move(*found);
    active.erase(found);
    const bool ok = outcome.ok && done->target.commit();
    // A connection the server closed (after so many requests, say) costs one more try, resumed
    // where it can be.
    if (!ok && outcome.retryable && !done->retried) {
        log.write(QStringLiteral("连接中断,重新下载:") + done->download.path);
        const Download download = done->download;
        done.reset(); // its part goes to the disk first
        start(download, true, true);
        return;
    }
    // A resumed file that does not end as listed, or whose range is refused (412, 416, a proxy's
    // 400), is fetched once more, whole.
    const bool resumed = done->resumeFrom > 0 && (outcome.ok || outcome.status >= 400);
    if (!ok && !done->fromStart && (done->restart || resumed)) {
        log.write(QStringLiteral("续传未成功,从头重新下载:") + done->download.path);
        start(done->download, false, done->retried);
        return;
    }
    if (!ok) {
        // Its part goes to the disk first: the next run resumes from all that came.
        const Download download = done->download;
        done.reset();
        logFailure(download, outcome);
        failed = true;
        return;
    }
    (*staged)(done->download, done->target.content(), StagedFrom::Server);
    fill();
}

void DownloadQueue::logFailure(const Download& download, const transport::Outcome& outcome)
{
    // A local failure has been logged where it happened.
    if (outcome.ok || outcome.sinkFailed)
        return;
    if (download.expected() && outcome.code == transport::TooLarge) {
        log.write(
            QStringLiteral("文件校验失败:") + localPath(download) + QStringLiteral(" 大小不符"));
        return;
    }
    log.write(QStringLiteral("下载文件:") + QStringLiteral(" 失败,错误码:")
        + QString::number(outcome.code) + QStringLiteral("错误原因:")
        + QString::fromStdString(outcome.reason));
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
