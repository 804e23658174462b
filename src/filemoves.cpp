#include "filemoves.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
std::wstring native(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// Access denied may also be a folder or a permission: never retried for ever.
bool inUse(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
        || error == ERROR_ACCESS_DENIED;
}

bool renameOnce(const QString& from, const QString& to, bool* retry)
{
    // Without MOVEFILE_COPY_ALLOWED: a rename, never a copy; and never over an existing file.
    if (MoveFileExW(native(from).c_str(), native(to).c_str(), MOVEFILE_WRITE_THROUGH))
        return true;
    *retry = inUse(GetLastError());
    return false;
}

int lastError()
{
    return int(GetLastError());
}

[[maybe_unused]] bool flushHandle(int fd)
{
    return _commit(fd) == 0;
}
#else
bool renameOnce(const QString& from, const QString& to, bool* retry)
{
    *retry = false;
    if (QFileInfo::exists(to)) {
        errno = EEXIST;
        return false;
    }
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

int lastError()
{
    return errno;
}

[[maybe_unused]] bool flushHandle(int fd)
{
    return ::fsync(fd) == 0;
}
#endif

} // namespace

namespace FileMoves {

bool move(const QString& from, const QString& to, QString* error, int retryMs)
{
    if (!QDir().mkpath(QFileInfo(to).absolutePath())) {
        *error = QStringLiteral("cannot make the folder of ") + to;
        return false;
    }
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        bool retry = false;
        if (renameOnce(from, to, &retry))
            return true;
        const int code = lastError();
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
        if (!file.open(QIODevice::ReadWrite) || !flushHandle(file.handle())) {
            *error = file.fileName() + QLatin1Char(' ') + file.errorString();
            return false;
        }
        folders.insert(QFileInfo(file).absolutePath());
    }
    for (const QString& each : qAsConst(folders))
        flushFolder(each);
    return true;
#endif
}

void flushFolder(const QString& folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder)
#else
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#endif
}

} // namespace FileMoves
