#include "updatelock.h"

#include "filemoves.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

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

UpdateLock::Result UpdateLock::lock(const std::function<bool()>& stopped)
{
    // Tried again and again rather than blocking: a blocked thread leaves its window unpainted and
    // deaf to a close for as long as the other update takes.
    for (;;) {
        QEventLoop pause;
        QTimer::singleShot(150, &pause, &QEventLoop::quit);
        pause.exec();
        if (stopped())
            return Held;
        const Result result = tryLock();
        if (result != Held)
            return result;
    }
}

#ifdef Q_OS_WIN
UpdateLock::Result UpdateLock::tryLock()
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
    if (LockFileEx(
            HANDLE(handle), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &start))
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
UpdateLock::Result UpdateLock::tryLock()
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
        result = ::flock(fd, LOCK_EX | LOCK_NB);
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
