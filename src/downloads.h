#ifndef DOWNLOADS_H
#define DOWNLOADS_H

#include "transport.h"
#include "updatelog.h"
#include "updaterules.h"

#include <QJsonObject>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QVector>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

// One file of an update, to be staged. Kept small: an update may list 100,000.
struct Download
{
    QString path; // as listed
    SignedFile listed; // size -1: the manifest gives none
    // Every file of a signed build has them: its manifest was refused otherwise.
    const SignedFile* expected() const { return listed.size >= 0 ? &listed : nullptr; }
};

// Orders downloads by fileKey(); of those naming one file, the one listed last (a later version's
// spelling and hash) stays.
void keepLatestByKey(QVector<Download>* downloads);

// Where a staged file's content came from: the server, the installed copy (then nothing needs
// replacing), or what an earlier run staged.
enum class StagedFrom { Server, Installed, EarlierRun };

struct DownloadSettings
{
    int connections = 1;
    int silenceMs = 0;
    qint64 maxFileSize = 0;
    QString fileUrl; // a listed path's address is this followed by the path
    QString installDir;
    QString stagedPrefix; // a listed path's staged copy is this followed by the path
    QString resumeRecord; // keeps what validates a resumed download across runs
};

// Stages the files of an update, several at once: streams multiplexed on one HTTP/2 connection, or
// kept-alive HTTP/1.1 connections. A file whose
// installed or staged copy already has the listed size and hash is not fetched; one that an earlier
// run staged in part goes on from there while the server still has the same content.
class DownloadQueue
{
public:
    using Staged = std::function<void(const Download&, const SignedFile&, StagedFrom)>;

    DownloadQueue(transport::Transfers& transfers, const DownloadSettings& settings,
        std::function<bool()> stopRequested, UpdateLog& log);
    ~DownloadQueue();

    // Hands each file to staged() as it completes. False at the first failure (logged; the others
    // stop with it) or when stopRequested() says so (stopped() then tells).
    bool run(const QVector<Download>& downloads, const Staged& staged);
    bool stopped() const { return wasStopped; }

private:
    struct Active;

    QString localPath(const Download& download) const;
    QString stagedPath(const Download& download) const
    {
        return settings.stagedPrefix + download.path;
    }
    void fill();
    void check(const Download& download);
    void checked(const Download& download, StagedFrom from);
    void start(const Download& download, bool mayResume, bool retried = false);
    bool begin(Active* active, const transport::Head& head);
    void settle(Active* active, const transport::Outcome& outcome);
    void logFailure(const Download& download, const transport::Outcome& outcome);
    qint64 resumablePart(const Download& download, QByteArray* validator) const;
    void remember(const Download& download, const QByteArray& validator);

    transport::Transfers& transfers;
    const DownloadSettings settings;
    const std::function<bool()> stopRequested;
    UpdateLog& log;
    QVector<Download> pending;
    int next = 0;
    std::vector<std::unique_ptr<Active>> active;
    const Staged* staged = nullptr;
    QJsonObject record;
    bool failed = false;
    bool wasStopped = false;
    int checking = 0; // files being hashed to see whether they need fetching
    QThreadPool hashers;
    QMutex checkedMutex;
    std::vector<std::pair<Download, StagedFrom>> checkedFiles; // by the hashers, under the mutex
};

#endif // DOWNLOADS_H
