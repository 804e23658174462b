#ifndef ZELKORVERSION_H
#define ZELKORVERSION_H

#include "downloads.h"
#include "getUrl.h"
#include "transaction.h"
#include "transport.h"
#include "updatelog.h"
#include "updaterules.h"

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <memory>

// Empty or zero fields take the compiled-in values; tests point them at a
// loopback server and a temporary installation folder.
struct ZelkorVersionOptions
{
    QString serverUrl;
    QString appDir;
    int requestTimeoutMs = 0;
    // Tests only: called on the worker thread with each command it has read,
    // before it acts on it.
    std::function<void(int)> onCommand;
};

class ZelkorVersion : public QThread
{
    Q_OBJECT

public:
    enum WorkState { Idle = 0, CheckRequested = 1, FetchManifests = 2, FetchFiles = 3 };

    using Options = ZelkorVersionOptions;

    explicit ZelkorVersion(QObject* parent = nullptr, const Options& options = Options());
    ~ZelkorVersion() override;

    void init();
    bool getUpdateList();
    void doCheckVersion();
    void doBeginUpdate();
    void requestAbort();
    void writeLog(QString message);
    // False when the version file could not be replaced; it then keeps its old content.
    bool writeVersion();

    QString serverUrl() const { return server; }
    QString installDir() const { return appDir; }
    ZelkorVersionStru installedVersion() const { return currVersion; }
    QList<ZelkorVersionStru> pendingVersions() const { return versionList; }
    QString targetVersion() const { return newVersion; }
    int state() const
    {
        QMutexLocker locker(&stateMutex);
        return workState;
    }
    // Meaningful once the update has reported its end: the thread moves it unlocked.
    int cursor() const
    {
        QMutexLocker locker(&stateMutex);
        return currentIndex;
    }

signals:
    void sigMsgInfoCheck(int);
    void sigMsgUpdateEnd(bool);
    void sigMsgInfoError(QString);
    void sigUpdateProcess(int);
    void sigSetText(QString, int);
    // Before the check, the run waits (for another updater, or to finish an earlier update).
    void sigMsgWaiting(QString);

public slots:
    void downloadProgress(qint64, qint64) { }
    void requestTimeout() { isTimeout = true; }
    bool getEnd(bool success, QByteArray data);

protected:
    void run() override;

private:
    void fetchManifestStep();
    void fetchFileStep();
    void reportStaged(const Download& file, const SignedFile& content, StagedFrom from);
    void commitUpdate();
    void finish(bool ok);
    void lockFailed();
    void releaseLock();
    transport::Outcome fetch(
        const QString& url, qint64 maxBytes, const std::function<bool(const char*, size_t)>& body);
    void setState(int state);
    void advance(int from, int to);
    void failUpdate(int from);
    bool stopRequested() const
    {
        QMutexLocker locker(&stateMutex);
        return abortRequested || !running;
    }

    std::unique_ptr<transport::Transfers> transfers; // driven by the thread only
    bool running = false;
    bool isTimeout = false;
    int workState = Idle;
    bool updateAfterCheck = false; // under stateMutex
    mutable QMutex stateMutex;
    QWaitCondition stateChanged;
    ZelkorVersionStru currVersion;
    QList<ZelkorVersionStru> versionList;
    int currentIndex = 0;
    QVector<Download> downloads; // as listed; by fileKey() once every manifest is read
    QVector<StagedFile> stagedFiles;
    std::unique_ptr<UpdateTransaction> transaction;
    QString appDir;
    QString newVersion;
    bool committed = false; // "version" already names newVersion
    std::atomic<bool> abortRequested {false};
    getUrl fetcher;
    UpdateLog log {QStringLiteral("updateLog.txt")};
    Options options;
    QString server;
    int requestTimeoutMs;
};

#endif // ZELKORVERSION_H
