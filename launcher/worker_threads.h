// The little that the file hand-over (launcher/file_handover.h) needs of a
// system's threads: one lock, conditions to sleep on under it, and worker
// threads to start and join. Windows (worker_threads_windows.cpp): slim
// locks and condition variables (Vista and later, older than the newest
// function the launcher imports already) and threads through the
// system-call table; Linux (worker_threads_linux.cpp): pthreads. The types
// are room for the system's own, so that no system header shows here.
#ifndef CORVELLINTH_LAUNCHER_WORKER_THREADS_H
#define CORVELLINTH_LAUNCHER_WORKER_THREADS_H

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kWorkerSyncRoom = 64;

struct WorkerLock {
    alignas(8) unsigned char room[kWorkerSyncRoom];
};
struct WorkerCondition {
    alignas(8) unsigned char room[kWorkerSyncRoom];
};
using WorkerThread = std::uintptr_t;
using WorkerThreadId = unsigned long;

inline constexpr WorkerThreadId kNoWorkerThreadId = 0;

// Makes lock and condition ready, while no thread uses them.
void startWorkerLock(WorkerLock* lock);
void startWorkerCondition(WorkerCondition* condition);

void acquireWorkerLock(WorkerLock* lock);
void releaseWorkerLock(WorkerLock* lock);

// Releases lock, sleeps until condition is woken (or spuriously), and
// takes lock again.
void sleepOnCondition(WorkerCondition* condition, WorkerLock* lock);
void wakeOneSleeper(WorkerCondition* condition);
void wakeAllSleepers(WorkerCondition* condition);

// What a worker thread runs: main(context). Lives as long as the thread.
struct WorkerStart {
    void (*main)(void* context);
    void* context;
};

// Starts a thread with a small stack (a worker needs its path buffer and
// the system's calls) that runs start. False when the system refuses.
bool startWorkerThread(WorkerThread* thread, const WorkerStart* start);

// Waits for each of the count threads to end, and lets go of them.
void joinWorkerThreads(WorkerThread* threads, int count);

// The calling thread's id, never kNoWorkerThreadId.
WorkerThreadId currentWorkerThreadId();

// Sleeps for the rest of the process, which another thread ends.
[[noreturn]] void sleepForever();

// The number of processors the system offers this process, at least 1.
int processorCount();

#endif
