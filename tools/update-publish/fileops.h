#ifndef UPDATE_PUBLISH_FILEOPS_H
#define UPDATE_PUBLISH_FILEOPS_H

#include <QByteArray>
#include <QString>

class QCryptographicHash;
class QFileInfo;

// Files are read this much at a time.
constexpr qint64 fileChunkSize = 1024 * 1024;

// Broken links count: something stands there.
bool pathExists(const QFileInfo& info);

bool isInside(const QString& path, const QString& folder);

// QFile::rename refuses to replace an existing file; this replaces it atomically.
bool replaceFile(const QString& from, const QString& to, QString* reason);

bool copyFile(
    const QString& from, const QString& to, QString* reason, QCryptographicHash* hash = nullptr);

// A hard link where the file system allows it, else a copy.
bool linkOrCopyFile(const QString& from, const QString& to, QString* reason);

bool writeBytes(const QString& path, const QByteArray& bytes, QString* reason);

#endif // UPDATE_PUBLISH_FILEOPS_H
