#ifndef ZELKORVERSION_H
#define ZELKORVERSION_H

#include "getUrl.h"

#include <QFile>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// One version a.b.c, with what an update-list entry says about it.
struct ZelkorVersionStru
{
    int major = 0;
    int minor = 0;
    int patch = 0;
    bool enforce = false;
    QString reason;

    // True when all three numbers were taken; on failure the numbers before
    // the failing piece (and that piece, as 0) are already stored.
    bool parseVersion(const QString& text);
    // True when the entry's "version" parsed; only then change enforce and reason.
    bool setVersion(QJsonObject entry);
    QString versionString() const;
};

bool operator<(const ZelkorVersionStru& a, const ZelkorVersionStru& b);
bool operator>(const ZelkorVersionStru& a, const ZelkorVersionStru& b);
bool operator==(const ZelkorVersionStru& a, const ZelkorVersionStru& b);

// The entries of a package manifest's "value" array, in order; an entry that
// is not a string reads as empty text. Anything else gives no entries;
// *readable is false only for a body that is not empty and not JSON.
QStringList manifestEntries(const QByteArray& body, bool* readable = nullptr);

// A manifest path may only name a file below the installation folder, on
// Windows too.
bool isSafeRelativePath(const QString& path);

// A relative path as it goes into an address: every segment percent-encoded,
// so that "#", "?" and "%" in a file name stay part of it.
QString urlPath(const QString& relativePath);

// What a signed manifest's "files" says of one path.
struct SignedFile
{
    QByteArray sha256; // lower-case hex
    qint64 size = -1;
};

// Why signature, the text of a minisign .minisig file, does not show that the
// holder of one of publicKeys (each the base64 line of a minisign .pub file)
// signed body; empty when it does. Needs a build with UPDATER_PUBLIC_KEY.
QString signatureProblem(
    const QByteArray& body, const QByteArray& signature, const QList<QByteArray>& publicKeys);

// Why a signed manifest body is not the one of version, or lacks the hash and
// size of one of paths; empty when all is there, and then files holds them.
QString signedManifestProblem(const QByteArray& body, const QString& version,
    const QStringList& paths, QMap<QString, SignedFile>* files);

// Paths with the same key name one file: on Windows letter case does not count.
QString fileKey(const QString& path);

// The first existing component of relativePath below dir that is a symbolic
// link, a junction or a shortcut; empty when there is none.
QString linkAlong(const QString& dir, const QString& relativePath);

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
    int state() const;
    // Meaningful once the update has reported its end: the thread moves it unlocked.
    int cursor() const;

signals:
    void sigMsgInfoCheck(int);
    void sigMsgUpdateEnd(bool);
    void sigMsgInfoError(QString);
    void sigUpdateProcess(int);
    void sigSetText(QString, int);

public slots:
    void downloadProgress(qint64, qint64);
    void requestTimeout();
    bool getEnd(bool success, QByteArray data);

protected:
    void run() override;

private:
    struct Outcome
    {
        bool ok = false;
        bool sinkFailed = false;
        bool tooLarge = false;
        bool stopped = false; // aborted, or the worker is going away
        int code = 0;
        QString reason;
    };
    using Sink = std::function<bool(const QByteArray&)>;

    void fetchManifestStep();
    void fetchFileStep();
    QNetworkReply* startGet(const QUrl& url);
    Outcome waitFor(QNetworkReply* reply, qint64 maxBytes, const Sink& sink);
    Outcome fetchBody(const QUrl& url, qint64 maxBytes, QByteArray* body);
    void setState(int state);
    void advance(int from, int to);
    void failUpdate(int from);
    bool stopRequested() const;

    QNetworkAccessManager* networkManager = nullptr;
    bool running = false;
    bool isTimeout = false;
    int workState = Idle;
    bool updateAfterCheck = false; // under stateMutex
    mutable QMutex stateMutex;
    QWaitCondition stateChanged;
    ZelkorVersionStru currVersion;
    QList<ZelkorVersionStru> versionList;
    int currentIndex = 0;
    struct ListedFile
    {
        QString path; // as the newest version listing it spells it
        SignedFile signedAs; // from that version's manifest, in a signed build
    };
    QMap<QString, ListedFile> fileSet; // by fileKey()
    QStringList fileList;
    QString appDir;
    QString newVersion;
    std::atomic<bool> abortRequested {false};
    getUrl fetcher;
    QFile logFile;
    QMutex logMutex;
    Options options;
    QString server;
    int requestTimeoutMs;
};

#endif // ZELKORVERSION_H
