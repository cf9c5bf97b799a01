#include "launcher/worker_threads.h"

#include <windows.h>

#include "system/system_calls.h"

namespace {

constexpr SIZE_T kWorkerStackSize = 256 * 1024;

static_assert(sizeof(SRWLOCK) <= kWorkerSyncRoom && alignof(SRWLOCK) <= 8);
static_assert(sizeof(CONDITION_VARIABLE) <= kWorkerSyncRoom && alignof(CONDITION_VARIABLE) <= 8);
static_assert(sizeof(HANDLE) <= sizeof(WorkerThread));
static_assert(sizeof(DWORD) <= sizeof(WorkerThreadId));

SRWLOCK* systemLock(WorkerLock* lock) {
    return reinterpret_cast<SRWLOCK*>(lock->room);
}

CONDITION_VARIABLE* systemCondition(WorkerCondition* condition) {
    return reinterpret_cast<CONDITION_VARIABLE*>(condition->room);
}

DWORD WINAPI runWorkerStart(void* start) {
    const WorkerStart* const what = static_cast<const WorkerStart*>(start);
    what->main(what->context);
    return 0;
}

} // namespace

void startWorkerLock(WorkerLock* lock) {
    InitializeSRWLock(systemLock(lock));
}

void startWorkerCondition(WorkerCondition* condition) {
    InitializeConditionVariable(systemCondition(condition));
}

void acquireWorkerLock(WorkerLock* lock) {
    AcquireSRWLockExclusive(systemLock(lock));
}

void releaseWorkerLock(WorkerLock* lock) {
    ReleaseSRWLockExclusive(systemLock(lock));
}

void sleepOnCondition(WorkerCondition* condition, WorkerLock* lock) {
    SleepConditionVariableSRW(systemCondition(condition), systemLock(lock), INFINITE, 0);
}

void wakeOneSleeper(WorkerCondition* condition) {
    WakeConditionVariable(systemCondition(condition));
}

void wakeAllSleepers(WorkerCondition* condition) {
    WakeAllConditionVariable(systemCondition(condition));
}

bool startWorkerThread(WorkerThread* thread, const WorkerStart* start) {
    // The start is only read: the system's signature wants it writable.
    const HANDLE started = systemCalls.createThread(nullptr, kWorkerStackSize, runWorkerStart,
                                                    const_cast<WorkerStart*>(start),
                                                    STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    *thread = reinterpret_cast<WorkerThread>(started);
    return started != nullptr;
}

void joinWorkerThreads(WorkerThread* threads, int count) {
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    const int waited = count < MAXIMUM_WAIT_OBJECTS ? count : MAXIMUM_WAIT_OBJECTS;
    for (int index = 0; index < waited; ++index) {
        handles[index] = reinterpret_cast<HANDLE>(threads[index]);
    }
    WaitForMultipleObjects(static_cast<DWORD>(waited), handles, TRUE, INFINITE);
    for (int index = 0; index < waited; ++index) {
        systemCalls.closeHandle(handles[index]);
    }
}

WorkerThreadId currentWorkerThreadId() {
    return GetCurrentThreadId();
}

void sleepForever() {
    for (;;) {
        systemCalls.sleep(INFINITE);
    }
}

int processorCount() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const int processors = static_cast<int>(system.dwNumberOfProcessors);
    return processors > 0 ? processors : 1;
}
