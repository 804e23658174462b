#include "filemoves.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#ifdef Q_OS_WIN
#include <aclapi.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
std::wstring FileMoves::nativePath(const QString& path)
{
    const QString full
        = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (full.startsWith(QLatin1String("\\\\")))
        return (QStringLiteral("\\\\?\\UNC\\") + full.mid(2)).toStdWString();
    return (QStringLiteral("\\\\?\\") + full).toStdWString();
}
#endif

namespace {

#ifdef Q_OS_WIN
using FileMoves::nativePath;

// Access denied may also be a folder or a permission: never retried for ever.
bool inUse(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
        || error == ERROR_ACCESS_DENIED;
}

bool renameOnce(const QString& from, const QString& to, bool* retry)
{
    // Without MOVEFILE_COPY_ALLOWED: a rename, never a copy; and never over an existing file.
    if (MoveFileExW(nativePath(from).c_str(), nativePath(to).c_str(), MOVEFILE_WRITE_THROUGH))
        return true;
    *retry = inUse(GetLastError());
    return false;
}

int lastError()
{
    return int(GetLastError());
}

bool folderMissing(int error)
{
    return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND;
}

bool removeLink(const QString& path, bool isDir)
{
    return isDir ? RemoveDirectoryW(nativePath(path).c_str())
                 : DeleteFileW(nativePath(path).c_str());
}
#else
bool renameOnce(const QString& from, const QString& to, bool* retry)
{
    *retry = false;
    if (FileMoves::entryAt(to).exists) {
        errno = EEXIST;
        return false;
    }
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

int lastError()
{
    return errno;
}

bool folderMissing(int error)
{
    return error == ENOENT;
}

bool removeLink(const QString& path, bool)
{
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}
#endif

// Every entry of folder, hidden and broken links too, as paths.
QStringList children(const QString& folder)
{
    QStringList paths = QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (QString& name : paths)
        name.prepend(folder + QLatin1Char('/'));
    return paths;
}

} // namespace

namespace FileMoves {

Entry entryAt(const QString& path)
{
    Entry entry;
#ifdef Q_OS_WIN
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(nativePath(path).c_str(), GetFileExInfoStandard, &data))
        return entry;
    const DWORD attributes = data.dwFileAttributes;
    entry.isDir = attributes & FILE_ATTRIBUTE_DIRECTORY;
    entry.isLink = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    entry.readOnly = attributes & FILE_ATTRIBUTE_READONLY;
    entry.size = qint64(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
#else
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return entry;
    entry.isDir = S_ISDIR(status.st_mode);
    entry.isLink = S_ISLNK(status.st_mode);
    entry.readOnly = !(status.st_mode & S_IWUSR);
    entry.size = status.st_size;
#endif
    entry.exists = true;
    return entry;
}

bool move(const QString& from, const QString& to, QString* error, int retryMs)
{
    QElapsedTimer waited;
    waited.start();
    bool folderMade = false;
    for (;;) {
        bool retry = false;
        if (renameOnce(from, to, &retry))
            return true;
        const int code = lastError();
        // Most folders are there already: one is made only when a move finds it missing.
        if (!folderMade && folderMissing(code)) {
            folderMade = true;
            if (!QDir().mkpath(QFileInfo(to).absolutePath())) {
                *error = QStringLiteral("cannot make the folder of ") + to;
                return false;
            }
            continue;
        }
        if (!retry || waited.elapsed() >= retryMs) {
            *error = qt_error_string(code);
            return false;
        }
        QThread::msleep(100);
    }
}

bool flush(
    const QString& installDir, const QString& folder, const QStringList& paths, QString* error)
{
#ifdef Q_OS_LINUX
    // One call for the whole file system the installation is on, not one per file.
    Q_UNUSED(folder)
    Q_UNUSED(paths)
    const int fd = ::open(QFile::encodeName(installDir).constData(), O_RDONLY | O_DIRECTORY);
    const bool synced = fd >= 0 && ::syncfs(fd) == 0;
    if (!synced)
        *error = qt_error_string(errno);
    if (fd >= 0)
        ::close(fd);
    return synced;
#else
    Q_UNUSED(installDir)
    QSet<QString> folders;
    for (const QString& path : paths) {
        QFile file(folder + QLatin1Char('/') + path);
        if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly)
            || !flushOpenFile(file.handle())) {
            *error = file.fileName() + QLatin1Char(' ') + file.errorString();
            return false;
        }
        folders.insert(QFileInfo(file).absolutePath());
    }
    for (const QString& each : qAsConst(folders)) {
        if (!flushFolder(each)) {
            *error = each + QStringLiteral(" cannot be flushed");
            return false;
        }
    }
    return true;
#endif
}

bool flushOpenFile(int fd)
{
#ifdef Q_OS_WIN
    return _commit(fd) == 0;
#else
    return ::fsync(fd) == 0;
#endif
}

bool flushFolder(const QString& folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder)
    return true;
#else
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return synced;
#endif
}

bool removeTree(const QString& path)
{
    const Entry entry = entryAt(path);
    if (!entry.exists)
        return true;
    if (entry.isLink)
        return removeLink(path, entry.isDir);
    if (entry.isDir) {
        bool removed = true;
        for (const QString& child : children(path))
            removed = removeTree(child) && removed;
        return removed && QDir().rmdir(path);
    }
    makeWritable(path);
    return QFile::remove(path);
}

bool makeWritable(const QString& path)
{
    return !entryAt(path).readOnly
        || QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner);
}

QStringList removeLinks(const QString& folder)
{
    const Entry entry = entryAt(folder);
    if (entry.isLink)
        return removeLink(folder, entry.isDir) ? QStringList {folder} : QStringList();
    QStringList removed;
    for (const QString& child : entry.isDir ? children(folder) : QStringList())
        removed += removeLinks(child);
    return removed;
}

QFile::Permissions permissionsOf(const QString& path)
{
    return QFile::permissions(path) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
}

bool inheritPermissions(const QString& path)
{
#ifdef Q_OS_WIN
    // An empty DACL that is not protected: the system adds what the folder hands down.
    ACL empty;
    std::wstring name = nativePath(path);
    // Wine keeps the read-only attribute in the mode that a new DACL sets: it is put back.
    const DWORD attributes = GetFileAttributesW(name.c_str());
    const bool inherited = InitializeAcl(&empty, sizeof(empty), ACL_REVISION)
        && SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
               DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
               &empty, nullptr)
            == ERROR_SUCCESS;
    if (attributes != INVALID_FILE_ATTRIBUTES && GetFileAttributesW(name.c_str()) != attributes)
        SetFileAttributesW(name.c_str(), attributes);
    return inherited;
#else
    Q_UNUSED(path)
    return true;
#endif
}

} // namespace FileMoves
