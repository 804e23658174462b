#ifndef INSTALLFILE_H
#define INSTALLFILE_H

#include "sha256.h"
#include "updatelog.h"
#include "updaterules.h"

#include <QFile>
#include <QString>

#include <future>

// Streams one downloaded file into its staged copy; the installed file does not change. A large
// file is hashed and flushed on threads of their own while it comes, so that the transfers keep
// their thread and the commit's flush of all staged files finds little left. A staged copy is
// never a link.
class InstallFile
{
public:
    // With expected, the file is complete only when its size and hash match.
    InstallFile(const QString& localPath, const QString& stagedPath, const SignedFile* expected,
        UpdateLog& log);

    // Goes on from the first offset bytes that an earlier run staged, instead of from nothing;
    // false (logged) when they cannot be read.
    bool resume(qint64 offset);
    bool write(const QByteArray& chunk);
    bool commit();
    qint64 size() const { return written; }
    // Once committed: its size and SHA-256.
    SignedFile content() const { return {sha256, written}; }
    // Logs why the file does not match what was expected; returns false.
    bool mismatch(const QString& reason);

private:
    bool open(QIODevice::OpenMode mode);
    bool hashBehind();
    // Hands what Qt holds of the writes to the system (logged when it cannot).
    bool pushWrites();
    void writeFailed();
    bool readFailed();

    const QString localPath;
    const SignedFile* const expected;
    UpdateLog& log;
    QFile file;
    Sha256 hash;
    Sha256Digest sha256;
    qint64 written = 0;
    static const qint64 step = 8 << 20;
    qint64 hashedTo = 0; // by the hash, or by the hashing under way
    qint64 flushedAt = 0;
    QFile reader; // the staged copy, read back to be hashed
    // After what they use: work under way ends before the files close.
    std::future<bool> hashing;
    std::future<bool> flushing;
};

// The log line that refuses to install path below dir (an unsafe name, a link on the way, a folder
// where the file goes); empty when it may be installed. A Windows shortcut (.lnk) is a file.
QString installRefusal(const QString& dir, const QString& path);

#endif // INSTALLFILE_H
