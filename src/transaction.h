#ifndef TRANSACTION_H
#define TRANSACTION_H

#include "updatelog.h"
#include "updaterules.h"

#include "journal.h"
#include "updatelock.h"

#include <QFile>
#include <QString>

#include <QVector>
#include <functional>

// An update as one step. Its files are staged in a folder of the installation, then swapped in
// under a journal, so that at every instant the next start finds either the old release with the
// old "version" or the new one with the new "version".
class UpdateTransaction
{
public:
    UpdateTransaction(const QString& installDir, UpdateLog& log);

    // Said to the user before a wait: why the update has not begun.
    using Tell = std::function<void(const QString&)>;

    // One update at a time in an installation: waits while another update.exe holds the lock;
    // Held (logged) when the run was stopped meanwhile, Failed (logged) when it cannot be taken.
    UpdateLock::Result lock(const Tell& tell, const std::function<bool()>& stopped);
    // The next update.exe may go on: this one changes nothing more.
    void unlock() { updateLock.unlock(); }
    // Finishes a commit that an earlier run left: once "version" names its version only forward,
    // before that forward when every new copy is at hand and back otherwise. Without one, what an
    // earlier run staged stays: it may serve this one.
    void recover(const Tell& tell);
    // What "version" names; 0.0.0 (logged) when it cannot be read, nothing when there is none.
    ZelkorVersionStru installedVersion();
    bool writeVersion(const QString& version, QString* error) const;

    // Makes the staging folder for an update that still has to fetch stagedBytes; false (logged)
    // when the volume has no room for them, or while an earlier commit is still unfinished.
    bool begin(qint64 stagedBytes);
    QString stagedPath(const QString& path) const;
    // What an earlier run staged of path so far.
    qint64 stagedSize(const QString& path) const;
    // Kept beside the staged files: what lets the next run resume a cut download.
    QString resumeRecordPath() const { return stagingDir + QStringLiteral("/resume.json"); }
    // Moves every staged file in and writes "version"; on failure (logged) puts all back.
    bool commit(QVector<StagedFile> files, const QString& version);

private:
    using Entry = StagedFile;
    using Journal = UpdateJournal;

    QString installedPath(const Entry& entry) const;
    QString asidePath(const Journal& journal, const Entry& entry) const;
    QString stagedPath(const Entry& entry) const { return stagedPath(entry.path); }
    QString journalPath() const { return stagingDir + QStringLiteral("/journal.json"); }
    bool writeJournal(const Journal& journal, QString* error) const;
    bool readJournal(Journal* journal) const;
    bool checkStaged(const Journal& journal, QString* error) const;
    bool swapIn(const Journal& journal, int index, QString* error) const;
    bool moveIn(const Entry& entry, const QString& aside, QString* error) const;
    static void takeMode(const QString& file, const QString& old, QFile::Permissions add = {});
    bool rollBack(const Journal& journal, int last);
    bool undo(const Journal& journal, int index, QString* error) const;
    bool goForward(const Journal& journal, QString* error) const;
    bool setAside(const QString& path, const QString& aside, QString* error) const;
    bool versionNames(const QString& version) const;
    bool forget(const Journal& journal) const;
    void dropLinks() const;

    const QString installDir;
    const QString stagingDir;
    UpdateLog& log;
    UpdateLock updateLock;
};

#endif // TRANSACTION_H
