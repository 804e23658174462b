#include "updatelock.h"

#include "filemoves.h"

#include <QFile>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

UpdateLock::UpdateLock(const QString& path)
    : path(path)
{
}

UpdateLock::~UpdateLock()
{
    unlock();
}

UpdateLock::Result UpdateLock::tryLock()
{
    return take(false);
}

UpdateLock::Result UpdateLock::lock()
{
    return take(true);
}

#ifdef Q_OS_WIN
UpdateLock::Result UpdateLock::take(bool wait)
{
    if (!handle) {
        // A link planted under the lock's name is opened itself, never followed.
        const HANDLE opened = CreateFileW(FileMoves::nativePath(path).c_str(),
            GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (opened == INVALID_HANDLE_VALUE) {
            problem = qt_error_string(int(GetLastError()));
            return Failed;
        }
        handle = opened;
    }
    OVERLAPPED start {};
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (LockFileEx(HANDLE(handle), flags, 0, 1, 0, &start))
        return Locked;
    const DWORD code = GetLastError();
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING)
        return Held;
    problem = qt_error_string(int(code));
    return Failed;
}

void UpdateLock::unlock()
{
    if (handle)
        CloseHandle(HANDLE(handle));
    handle = nullptr;
}
#else
UpdateLock::Result UpdateLock::take(bool wait)
{
    if (fd < 0) {
        fd = ::open(QFile::encodeName(path).constData(),
            O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
        if (fd < 0) {
            problem = qt_error_string(errno);
            return Failed;
        }
    }
    int result;
    do
        result = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return Locked;
    if (errno == EWOULDBLOCK)
        return Held;
    problem = qt_error_string(errno);
    return Failed;
}

void UpdateLock::unlock()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
#endif
