#include "launcher/worker_threads.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>

namespace {

constexpr std::size_t kWorkerStackSize = 256 * 1024;

static_assert(sizeof(pthread_mutex_t) <= kWorkerSyncRoom && alignof(pthread_mutex_t) <= 8);
static_assert(sizeof(pthread_cond_t) <= kWorkerSyncRoom && alignof(pthread_cond_t) <= 8);
static_assert(sizeof(pthread_t) <= sizeof(WorkerThread));

pthread_mutex_t* systemLock(WorkerLock* lock) {
    return reinterpret_cast<pthread_mutex_t*>(lock->room);
}

pthread_cond_t* systemCondition(WorkerCondition* condition) {
    return reinterpret_cast<pthread_cond_t*>(condition->room);
}

void* runWorkerStart(void* start) {
    const WorkerStart* const what = static_cast<const WorkerStart*>(start);
    what->main(what->context);
    return nullptr;
}

} // namespace

void startWorkerLock(WorkerLock* lock) {
    new (lock->room) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER);
}

void startWorkerCondition(WorkerCondition* condition) {
    new (condition->room) pthread_cond_t(PTHREAD_COND_INITIALIZER);
}

void acquireWorkerLock(WorkerLock* lock) {
    pthread_mutex_lock(systemLock(lock));
}

void releaseWorkerLock(WorkerLock* lock) {
    pthread_mutex_unlock(systemLock(lock));
}

void sleepOnCondition(WorkerCondition* condition, WorkerLock* lock) {
    pthread_cond_wait(systemCondition(condition), systemLock(lock));
}

void wakeOneSleeper(WorkerCondition* condition) {
    pthread_cond_signal(systemCondition(condition));
}

void wakeAllSleepers(WorkerCondition* condition) {
    pthread_cond_broadcast(systemCondition(condition));
}

bool startWorkerThread(WorkerThread* thread, const WorkerStart* start) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_attr_setstacksize(&attributes, kWorkerStackSize);
    pthread_t started{};
    // The start is only read: pthread_create's signature wants it writable.
    const bool created =
        pthread_create(&started, &attributes, runWorkerStart, const_cast<WorkerStart*>(start)) == 0;
    pthread_attr_destroy(&attributes);
    *thread = static_cast<WorkerThread>(started);
    return created;
}

void joinWorkerThreads(WorkerThread* threads, int count) {
    for (int index = 0; index < count; ++index) {
        pthread_join(static_cast<pthread_t>(threads[index]), nullptr);
    }
}

WorkerThreadId currentWorkerThreadId() {
    return static_cast<WorkerThreadId>(syscall(SYS_gettid));
}

void sleepForever() {
    for (;;) {
        pause();
    }
}

int processorCount() {
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    return processors > 0 ? static_cast<int>(processors) : 1;
}
