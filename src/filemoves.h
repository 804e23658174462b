#ifndef FILEMOVES_H
#define FILEMOVES_H

#include <QFile>
#include <QString>
#include <QStringList>

#include <string>

// What an update's commit rests on, each done the platform's own way: renames that never copy,
// flushes that put files and folders on the disk before anything names them as ready, and a look
// at a path that never follows what it points to.
namespace FileMoves {

// What is at a path itself: a link (a symbolic link, or a junction on Windows) is never followed,
// and a Windows shortcut (.lnk) is the file it is.
struct Entry
{
    bool exists = false;
    bool isDir = false;
    bool isLink = false;
    bool readOnly = false;
    qint64 size = -1;

    bool isPlainFile() const { return exists && !isDir && !isLink; }
};
Entry entryAt(const QString& path);

// Renames from to to, which must not exist, making to's folder first. While Windows reports the
// file in use (a virus scanner, a second program) it is tried again for up to retryMs.
bool move(const QString& from, const QString& to, QString* error, int retryMs = 5000);

// Puts every one of paths below folder, and what the folders holding them list, on the disk.
// Paths rather than whole names: an update of 100,000 files names each once. A file that is gone
// fails the flush; it is never made anew.
bool flush(
    const QString& installDir, const QString& folder, const QStringList& paths, QString* error);

// Puts what the open file fd holds so far on the disk.
bool flushOpenFile(int fd);

// The entries of folder on the disk (a no-op on Windows, whose file system journals renames).
bool flushFolder(const QString& folder);

// Removes path and, for a folder, all below it, read-only files too. A link is removed itself:
// what it points to is never touched.
bool removeTree(const QString& path);

// A file's permissions as set on it, without what this user may do (which Qt adds, and which for an
// administrator is everything): what another file is given to be alike.
QFile::Permissions permissionsOf(const QString& path);

// Removes every link at or below folder (each itself, never what it points to); the paths removed.
QStringList removeLinks(const QString& folder);

// Clears path's read-only mode, if it has one.
bool makeWritable(const QString& path);

// On Windows a rename keeps a file's permissions: a file moved into a folder takes that folder's
// inherited ones instead; false when it cannot. Nothing elsewhere.
bool inheritPermissions(const QString& path);

#ifdef Q_OS_WIN
// The \\?\ form of path: Win32 calls then take paths past MAX_PATH, as QFile does by itself.
std::wstring nativePath(const QString& path);
#endif

} // namespace FileMoves

#endif // FILEMOVES_H
