// Preloaded into the tests and the programs they start under ThreadSanitizer.
// The system Qt is not instrumented: ThreadSanitizer cannot see that QMutex,
// QWaitCondition::wait() and QThread::wait() order memory, and reports every
// access they protect. The calls that reach these from outside QtCore are
// wrapped to tell it; no report is hidden.
//
// Uninstrumented itself, so its own bookkeeping adds no ordering. Without
// ThreadSanitizer or Qt in the process, every wrapper only forwards.

#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <ctime>
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>

namespace {

// Looked up once and kept in atomics: a function-local static would go
// through __cxa_guard_*, which ThreadSanitizer takes as ordering.
using Annotation = void (*)(void *);
char absentMarker;
void *const absent = &absentMarker;

void annotate(std::atomic<void *> &cache, const char *name, void *address)
{
    void *found = cache.load(std::memory_order_acquire);
    if (!found) {
        found = dlsym(RTLD_DEFAULT, name);
        cache.store(found ? found : absent, std::memory_order_release);
    }
    if (found != absent)
        reinterpret_cast<Annotation>(found)(address);
}

std::atomic<void *> acquireFunction{nullptr};
std::atomic<void *> releaseFunction{nullptr};

void acquire(void *address)
{
    annotate(acquireFunction, "__tsan_acquire", address);
}

void release(void *address)
{
    annotate(releaseFunction, "__tsan_release", address);
}

template<typename Function>
Function next(std::atomic<void *> &cache, const char *symbol)
{
    void *found = cache.load(std::memory_order_acquire);
    if (!found) {
        found = dlvsym(RTLD_NEXT, symbol, "Qt_5");
        if (!found)
            found = dlsym(RTLD_NEXT, symbol);
        if (!found)
            abort();
        cache.store(found, std::memory_order_release);
    }
    return reinterpret_cast<Function>(found);
}

#define REAL(type, symbol)                                                                         \
    static std::atomic<void *> cache{nullptr};                                                     \
    const auto real = next<type>(cache, symbol)

// Thread ends: Qt's threads are detached and QThread::wait() learns of the
// end through a QMutex, so the end of each thread is released on a slot that
// the wait for that thread acquires.
enum SlotState { Free, Running, Ended };
struct Slot
{
    std::atomic<void *> key{nullptr};
    std::atomic<int> state{Free};
};
Slot threadSlots[1024];
std::atomic_flag slotsLock = ATOMIC_FLAG_INIT;

struct SlotsLocker
{
    SlotsLocker()
    {
        while (slotsLock.test_and_set(std::memory_order_acquire))
            sched_yield();
    }
    ~SlotsLocker() { slotsLock.clear(std::memory_order_release); }
};

Slot *findSlot(void *key)
{
    for (Slot &slot : threadSlots) {
        if (slot.state.load() != Free && slot.key.load() == key)
            return &slot;
    }
    return nullptr;
}

Slot *slotForStart(void *key)
{
    SlotsLocker locker;
    Slot *slot = findSlot(key);
    if (!slot) {
        for (Slot &candidate : threadSlots) {
            if (candidate.state.load() != Running) {
                slot = &candidate;
                break;
            }
        }
    }
    if (slot) {
        slot->key = key;
        slot->state = Running;
    }
    return slot;
}

void joined(void *key)
{
    Slot *slot;
    {
        SlotsLocker locker;
        slot = findSlot(key);
    }
    if (!slot)
        return;
    // Qt marks the thread finished just before its start function returns.
    const timespec pause{0, 1000000};
    for (int i = 0; i < 5000 && slot->state.load() == Running; ++i)
        nanosleep(&pause, nullptr);
    if (slot->state.load() == Ended && slot->key.load() == key)
        acquire(slot);
}

struct Start
{
    void *(*function)(void *);
    void *argument;
    Slot *slot;
};

struct EndOfThread
{
    Slot *slot;
    ~EndOfThread()
    {
        if (!slot)
            return;
        release(slot);
        slot->state = Ended;
    }
};

void *startThread(void *data)
{
    const Start start = *static_cast<Start *>(data);
    free(data);
    const EndOfThread end{start.slot};
    return start.function(start.argument);
}

} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attributes,
                              void *(*function)(void *), void *argument)
{
    using Create = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static std::atomic<void *> cache{nullptr};
    void *found = cache.load(std::memory_order_acquire);
    if (!found) {
        found = dlsym(RTLD_NEXT, "pthread_create");
        cache.store(found, std::memory_order_release);
    }
    const auto real = reinterpret_cast<Create>(found);
    auto *start = static_cast<Start *>(malloc(sizeof(Start)));
    if (!start)
        return real(thread, attributes, function, argument);
    *start = Start{function, argument, slotForStart(argument)};
    const int result = real(thread, attributes, startThread, start);
    if (result != 0) {
        if (start->slot)
            start->slot->state = Free;
        free(start);
    }
    return result;
}

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    REAL(void (*)(QMutex *), "_ZN6QMutex4lockEv");
    real(this);
    acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    REAL(bool (*)(QMutex *, int), "_ZN6QMutex7tryLockEi");
    const bool locked = real(this, timeout);
    if (locked)
        acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    REAL(void (*)(QMutex *), "_ZN6QMutex6unlockEv");
    release(this);
    real(this);
}

bool QWaitCondition::wait(QMutex *mutex, QDeadlineTimer deadline)
{
    REAL(bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer),
         "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    release(mutex);
    const bool woken = real(this, mutex, deadline);
    acquire(mutex);
    return woken;
}

bool QWaitCondition::wait(QMutex *mutex, unsigned long time)
{
    REAL(bool (*)(QWaitCondition *, QMutex *, unsigned long),
         "_ZN14QWaitCondition4waitEP6QMutexm");
    release(mutex);
    const bool woken = real(this, mutex, time);
    acquire(mutex);
    return woken;
}

bool QThread::wait(QDeadlineTimer deadline)
{
    REAL(bool (*)(QThread *, QDeadlineTimer), "_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = real(this, deadline);
    if (ended)
        joined(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    REAL(bool (*)(QThread *, unsigned long), "_ZN7QThread4waitEm");
    const bool ended = real(this, time);
    if (ended)
        joined(this);
    return ended;
}
