#ifndef UPDATELOCK_H
#define UPDATELOCK_H

#include <QString>

#include <functional>

// One update at a time in an installation: an exclusive lock on a file of the updater's own, which
// the system releases when its holder ends, however it ends. The file itself stays, so that two
// updaters never lock two different files.
class UpdateLock
{
public:
    enum Result { Locked, Held, Failed };

    explicit UpdateLock(const QString& path);
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

    // Held: another updater has it. Failed: the lock cannot be taken at all (see error()).
    Result tryLock();
    // After tryLock() said Held: waits for as long as another updater holds it, running the
    // thread's events meanwhile so that its window stays live; Held when stopped() turns true
    // first.
    Result lock(const std::function<bool()>& stopped);
    void unlock();
    QString error() const { return problem; }

private:
    const QString path;
    QString problem;
#ifdef Q_OS_WIN
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};

#endif // UPDATELOCK_H
