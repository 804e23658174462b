#ifndef INSTALLFILE_H
#define INSTALLFILE_H

#include "updatelog.h"
#include "updaterules.h"

#include <QCryptographicHash>
#include <QSaveFile>
#include <QString>

// Streams one downloaded file into place. The installed file keeps its old
// content until the new one is complete; an uncommitted file is discarded.
class InstallFile
{
public:
    // With expected, the file is committed only when its size and hash match.
    InstallFile(const QString& localPath, const SignedFile* expected, UpdateLog& log);

    bool write(const QByteArray& chunk);
    bool commit();
    qint64 size() const { return written; }
    // Logs why the file does not match what was expected; returns false.
    bool mismatch(const QString& reason);

private:
    bool open();
    void writeFailed();

    const QString localPath;
    const SignedFile* const expected;
    UpdateLog& log;
    QSaveFile file;
    QCryptographicHash hash {QCryptographicHash::Sha256};
    qint64 written = 0;
};

// The log line that refuses to install path below dir (an unsafe name, or a link on the way);
// empty when it may be installed.
QString installRefusal(const QString& dir, const QString& path);

#endif // INSTALLFILE_H
