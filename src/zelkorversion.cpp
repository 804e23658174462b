#include "zelkorversion.h"

#include "installfile.h"
#include "signature.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QUrl>

#include <utility>

#ifndef UPDATER_MAX_FILE_BYTES
#define UPDATER_MAX_FILE_BYTES (Q_INT64_C(2) << 30)
#endif

namespace {

const int updateListTimeoutMs = 10000;
// A manifest is a short list of paths; anything bigger is not one.
const qint64 maxManifestSize = 16 * 1024 * 1024;
// Ends a body that never ends, announced length or not.
const qint64 maxFileSize = UPDATER_MAX_FILE_BYTES;
const qint64 maxSignatureSize = 64 * 1024;

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
    wait();
    delete networkManager;
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
    transaction = std::make_unique<UpdateTransaction>(appDir, log);
    // A second update.exe waits here; an update an earlier run left is finished first.
    const auto tell = [this](const QString& why) { emit sigMsgWaiting(why); };
    const bool locked = transaction->lock(tell);
    if (locked)
        transaction->recover(tell);
    currVersion = transaction->installedVersion();
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
}

void ZelkorVersion::requestAbort()
{
    abortRequested = true;
    QMutexLocker locker(&stateMutex);
    stateChanged.wakeAll();
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

void ZelkorVersion::downloadProgress(qint64, qint64) { }

void ZelkorVersion::requestTimeout()
{
    isTimeout = true;
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
    // The proxy the user's system names (on Windows: Internet Options, PAC and WPAD).
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    networkManager = new QNetworkAccessManager;
    // 3xx bodies must never be installed; follow redirects that stay as safe.
    networkManager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);

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
            // The idle poll; a command, an abort or the destructor wakes it at once.
            stateChanged.wait(&stateMutex, 100);
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

RequestOutcome ZelkorVersion::fetch(const QUrl& url, qint64 maxBytes, QByteArray* body)
{
    return fetchBody(
        networkManager, url, maxBytes, requestTimeoutMs, [this] { return stopRequested(); }, body);
}

void ZelkorVersion::fetchManifestStep()
{
    const int count = versionList.size();
    if (currentIndex < count) {
        const QString version = versionList.at(currentIndex).versionString();
        ++currentIndex;
        const QUrl url(
            server + QStringLiteral("/packages/version/") + version + QStringLiteral(".json"),
            QUrl::TolerantMode);
        QByteArray body;
        const RequestOutcome outcome = fetch(url, maxManifestSize, &body);
        if (outcome.stopped)
            return;
        bool readable = false;
        const QStringList paths = manifestEntries(body, &readable);
        const auto refuse = [this](const QString& line) {
            writeLog(line);
            failUpdate(FetchManifests);
        };
        if (!outcome.ok || !readable) {
            qDebug() << "get" << url << "failed!"
                     << (outcome.ok ? QStringLiteral("not JSON") : outcome.reason);
            return refuse(QStringLiteral("获取更新列表失败:"));
        }
        // A signed build needs every hash; an unsigned one checks those the manifest gives.
        QString malformed;
        const QMap<QString, SignedFile> listed = listedHashes(body, paths, &malformed);
        if (!trustedKeys().isEmpty()) {
            QByteArray signature;
            const RequestOutcome fetched = fetch(
                QUrl(url.toString() + QStringLiteral(".minisig")), maxSignatureSize, &signature);
            if (fetched.stopped)
                return;
            QString problem = fetched.ok
                ? signatureProblem(body, signature, trustedKeys())
                : QStringLiteral("缺少签名,错误码:") + QString::number(fetched.code);
            if (problem.isEmpty())
                problem = signedManifestProblem(body, version, paths, listed);
            if (!problem.isEmpty())
                return refuse(
                    QStringLiteral("签名验证失败:") + url.toString() + QLatin1Char(' ') + problem);
        }
        if (malformed.isEmpty())
            malformed = chainProblem(
                body, versionList, currentIndex - 1, currVersion, !trustedKeys().isEmpty());
        if (!malformed.isEmpty())
            return refuse(malformed + QLatin1Char(' ') + url.toString());
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
            downloads.append({path, listed.value(fileKey(path))});
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
        networkManager,
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
