#include "zelkorversion.h"

#include "installfile.h"
#include "manifestfetch.h"
#include "signature.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

#include <utility>

#ifndef UPDATER_MAX_FILE_BYTES
#define UPDATER_MAX_FILE_BYTES (Q_INT64_C(2) << 30)
#endif

namespace {

const int updateListTimeoutMs = 10000;
// Ends a body that never ends, announced length or not.
const qint64 maxFileSize = UPDATER_MAX_FILE_BYTES;

} // namespace

ZelkorVersion::ZelkorVersion(QObject* parent, const Options& options)
    : QThread(parent)
    , options(options)
    , server(options.serverUrl.isEmpty() ? QStringLiteral(UPDATER_SERVER_URL) : options.serverUrl)
    , requestTimeoutMs(
          options.requestTimeoutMs > 0 ? options.requestTimeoutMs : UPDATER_REQUEST_TIMEOUT_MS)
{
    connect(&fetcher, &getUrl::getEnd, this, &ZelkorVersion::getEnd);
}

ZelkorVersion::~ZelkorVersion()
{
    qDebug() << "ZelkorVersion::~ZelkorVersion()";
    {
        QMutexLocker locker(&stateMutex);
        running = false;
        stateChanged.wakeAll();
    }
    if (transfers)
        transfers->wakeup();
    wait();
}

void ZelkorVersion::finish(bool ok)
{
    releaseLock();
    emit sigMsgUpdateEnd(ok);
}

void ZelkorVersion::releaseLock()
{
    if (transaction)
        transaction->unlock();
}

void ZelkorVersion::init()
{
    qDebug() << "ZelkorVersion::ZelkorVersion";
    isTimeout = false;
    newVersion.clear();
    {
        QMutexLocker locker(&stateMutex);
        running = true;
        workState = Idle;
    }
    // The executable's real folder, even when started through the search path.
    appDir = options.appDir.isEmpty() ? QCoreApplication::applicationDirPath()
                                      : QDir(options.appDir).absolutePath();
    fetcher.setProgramDir(appDir);
    static const bool curlReady = transport::initialise();
    if (!curlReady)
        qDebug() << "libcurl could not be initialised";
    transfers
        = std::make_unique<transport::Transfers>(UPDATER_DOWNLOAD_CONNECTIONS, requestTimeoutMs);
    transaction = std::make_unique<UpdateTransaction>(appDir, log);
    // A second update.exe waits here, unless the window is closed; an update an earlier run left is
    // finished first.
    const auto tell = [this](const QString& why) { emit sigMsgWaiting(why); };
    const auto stopped = [this] { return abortRequested.load(); };
    const bool locked = transaction->lock(tell, stopped) == UpdateLock::Locked;
    if (locked)
        transaction->recover(tell);
    currVersion = transaction->installedVersion();
    if (abortRequested)
        return; // closed meanwhile: nothing is checked
    start();
    if (locked)
        getUpdateList();
    else // nothing is checked nor installed; the window hears of it once it listens
        QMetaObject::invokeMethod(this, &ZelkorVersion::lockFailed, Qt::QueuedConnection);
}

void ZelkorVersion::lockFailed()
{
    emit sigMsgInfoError(QStringLiteral("无法锁定更新"));
    finish(false);
}

bool ZelkorVersion::getUpdateList()
{
    qDebug() << "ZelkorVersion::getUpdateList()";
    const QString url = server + QStringLiteral("/packages/update.json");
    qDebug() << QStringLiteral("Qt get url: ") + url;
    fetcher.get(url, updateListTimeoutMs);
    return true;
}

void ZelkorVersion::doCheckVersion()
{
    writeLog(QStringLiteral("版本检测"));
    qDebug() << "ZelkorVersion::doCheckVersion()";
    setState(CheckRequested);
    qDebug() << "ZelkorVersion::doCheckVersion() end";
}

void ZelkorVersion::doBeginUpdate()
{
    writeLog(QStringLiteral("开始更新"));
    qDebug() << "ZelkorVersion::doBeginUpdate()";
    QMutexLocker locker(&stateMutex);
    downloads = {};
    // A check the thread has not finished stays; the update follows it.
    updateAfterCheck = workState == CheckRequested;
    if (!updateAfterCheck)
        workState = FetchManifests;
    currentIndex = 0;
    stateChanged.wakeAll();
    transfers->wakeup();
}

void ZelkorVersion::requestAbort()
{
    abortRequested = true;
    QMutexLocker locker(&stateMutex);
    stateChanged.wakeAll();
    if (transfers)
        transfers->wakeup();
}

void ZelkorVersion::writeLog(QString message)
{
    log.write(message);
}

bool ZelkorVersion::writeVersion()
{
    writeLog(QStringLiteral("写入更新文件"));
    QString error;
    // The commit wrote it under the lock; writing it again here, unlocked, could undo a later run.
    if (!newVersion.isEmpty() && !committed && !transaction->writeVersion(newVersion, &error)) {
        writeLog(QStringLiteral("写入更新文件失败：") + error);
        qDebug() << "fopen faied!" << error;
        return false;
    }
    return true;
}

bool ZelkorVersion::getEnd(bool success, QByteArray data)
{
    qDebug() << "timeout = " << isTimeout;
    if (!success)
        isTimeout = true;
    if (isTimeout || data.isEmpty()) {
        const QString text = QStringLiteral("请求服务器超时：");
        writeLog(text);
        if (!fetcher.failureReason().isEmpty())
            writeLog(QStringLiteral("失败原因:") + fetcher.failureReason());
        emit sigMsgInfoError(text);
        finish(false);
        return false;
    }
    qDebug() << "getEnd:" << success << QString::fromLocal8Bit(data.left(4096)); // whole: slow

    const QJsonArray list
        = QJsonDocument::fromJson(data).object().value(QStringLiteral("updateList")).toArray();
    const QList<ZelkorVersionStru> newer = newerVersions(list, currVersion);
    if (newer.isEmpty()) {
        writeLog(list.isEmpty() ? QStringLiteral("无需更新：更新列表为空")
                                : QStringLiteral("无需更新：当前版本为最新"));
        releaseLock();
        emit sigMsgInfoCheck(0);
        return true;
    }

    bool enforce = false;
    for (const ZelkorVersionStru& record : newer) {
        versionList.append(record);
        enforce = enforce || record.enforce;
        newVersion = record.versionString();
    }
    qDebug() << "enforce" << enforce;
    writeLog(QStringLiteral("发现新版本:")
        + (enforce ? QStringLiteral("强制更新") : QStringLiteral("不强制更新")));
    emit sigMsgInfoCheck(enforce ? 2 : 1);
    return true;
}

void ZelkorVersion::run()
{
    qDebug() << "ZelkorVersion::run()";
    // The connection (and its TLS handshake) is made while the fetch tool asks for the list; the
    // answer also tells whether the server multiplexes.
    transport::Request warmUp;
    warmUp.url = QUrl(server + QStringLiteral("/packages/update.json"), QUrl::TolerantMode)
                     .toEncoded()
                     .toStdString();
    warmUp.headOnly = true;
    transfers->add(std::move(warmUp));

    QMutexLocker locker(&stateMutex);
    while (running) {
        const int state = workState;
        // Whatever the state, an abort ends the run: the window waits for this report.
        if (abortRequested) {
            locker.unlock();
            finish(false);
            return;
        }
        if (state == Idle) {
            // The idle poll, which moves the warm-up on; a command, an abort or the destructor
            // wakes it at once.
            locker.unlock();
            transfers->wait(100);
            locker.relock();
            continue;
        }
        locker.unlock();
        if (options.onCommand)
            options.onCommand(state);
        if (state == CheckRequested) {
            writeLog(QStringLiteral("版本检测线程：版本检测"));
            advance(CheckRequested, Idle);
        } else if (state == FetchManifests) {
            fetchManifestStep();
        } else {
            fetchFileStep();
        }
        locker.relock();
    }
    writeLog(QStringLiteral("版本检测线程停止"));
    qDebug() << "version run failed!";
}

void ZelkorVersion::setState(int state)
{
    QMutexLocker locker(&stateMutex);
    workState = state;
    stateChanged.wakeAll();
    transfers->wakeup();
}

void ZelkorVersion::advance(int from, int to)
{
    // A command that arrived since this pass read the state is kept.
    QMutexLocker locker(&stateMutex);
    if (workState != from)
        return;
    workState = std::exchange(updateAfterCheck, false) ? FetchManifests : to;
    stateChanged.wakeAll();
}

void ZelkorVersion::failUpdate(int from)
{
    advance(from, Idle);
    finish(false);
}

transport::Outcome ZelkorVersion::fetch(
    const QString& url, qint64 maxBytes, const std::function<bool(const char*, size_t)>& body)
{
    transport::Outcome result;
    bool ended = false;
    transport::Request request;
    request.url = QUrl(url, QUrl::TolerantMode).toEncoded().toStdString();
    request.maxBytes = maxBytes;
    request.body = body;
    request.done = [&](const transport::Outcome& outcome) {
        result = outcome;
        ended = true;
    };
    const int id = transfers->add(std::move(request));
    while (!ended && !stopRequested())
        transfers->wait(100);
    if (!ended) {
        transfers->cancel(id);
        result.stopped = true;
    }
    return result;
}

void ZelkorVersion::fetchManifestStep()
{
    const int count = versionList.size();
    if (currentIndex < count) {
        ++currentIndex;
        const auto refuse = [this](const QString& line) {
            writeLog(line);
            failUpdate(FetchManifests);
        };
        ListedFiles listed;
        bool stopped = false;
        const QString refusal = fetchManifest(
            [this](const QString& url, qint64 maxBytes,
                const std::function<bool(const char*, size_t)>& body) {
                return fetch(url, maxBytes, body);
            },
            server, versionList, currentIndex - 1, currVersion, trustedKeys(), &listed, &stopped);
        if (stopped)
            return;
        if (!refusal.isEmpty())
            return refuse(refusal);
        const QStringList& paths = listed.paths;
        downloads.reserve(downloads.size() + paths.size());
        for (const QString& path : paths) {
            qDebug() << path;
            if (isUpdaterOwnedPath(path)) {
                writeLog(QStringLiteral("跳过更新程序自有文件:") + path);
                continue;
            }
            const QString refusal = installRefusal(appDir, path);
            if (!refusal.isEmpty())
                return refuse(refusal);
            downloads.append({path, listed.hashes.value(fileKey(path))});
        }
    }
    if (currentIndex == count) {
        keepLatestByKey(&downloads); // every run installs alike
        qint64 toFetch = 0; // what an earlier run staged takes no more room
        for (const Download& file : qAsConst(downloads))
            toFetch += qMax<qint64>(file.listed.size - transaction->stagedSize(file.path), 0);
        if (!transaction->begin(toFetch)) {
            failUpdate(FetchManifests);
            return;
        }
        writeLog(QStringLiteral("开始下载文件"));
        advance(FetchManifests, FetchFiles);
        stagedFiles = {};
        stagedFiles.reserve(downloads.size());
        currentIndex = 0;
    }
}

void ZelkorVersion::commitUpdate()
{
    downloads = {}; // not clear(): the queue still shares them, and that would copy
    // A close waits for this: it takes moments, and stopped halfway the next start would finish it.
    const bool ok = transaction->commit(std::exchange(stagedFiles, {}), newVersion);
    committed = ok;
    advance(FetchFiles, Idle);
    if (!ok || !stopRequested())
        finish(ok);
}

void ZelkorVersion::fetchFileStep()
{
    DownloadQueue queue(
        *transfers,
        {UPDATER_DOWNLOAD_CONNECTIONS, requestTimeoutMs, maxFileSize,
            server + QStringLiteral("/packages/bin/"), appDir, transaction->stagedPath(QString()),
            transaction->resumeRecordPath()},
        [this] { return stopRequested(); }, log);
    const bool ok = queue.run(
        downloads, [this](const Download& download, const SignedFile& content, StagedFrom from) {
            reportStaged(download, content, from);
        });
    // Stopped, what is staged stays for the next run.
    if (ok)
        commitUpdate();
    else if (!queue.stopped())
        failUpdate(FetchFiles);
}

void ZelkorVersion::reportStaged(const Download& file, const SignedFile& content, StagedFrom from)
{
    // An installed copy that already matches is left as it is.
    if (from != StagedFrom::Installed)
        stagedFiles.append({file.path, content, false, from == StagedFrom::EarlierRun});
    qDebug() << "filePath = " << appDir + QLatin1Char('/') + file.path;
    qDebug() << file.path;
    emit sigSetText(file.path, 0);
    writeLog(file.path);
    const QString counter = QStringLiteral("(%1/%2)").arg(currentIndex).arg(downloads.size());
    emit sigSetText(counter, 1);
    writeLog(counter);
    if (from == StagedFrom::Server)
        writeLog(QStringLiteral("写入文件成功:写入文件大小") + QString::number(content.size));
    emit sigUpdateProcess(int(double(currentIndex) / double(downloads.size()) * 100.0));
    ++currentIndex;
}
