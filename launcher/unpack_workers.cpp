// The hand-over between the main thread and the workers. One lock guards
// the pool, the queue and every file's chunk list; three condition
// variables wake the side that waits: idle workers (a file queued), the one
// worker streaming the file that the main thread is still reading (a chunk
// passed, or that file ended), and the main thread (a chunk or a place for a
// file given back, a file finished, a failure). Files get sequence numbers
// in stream order; a failure is kept only when it is the earliest so far,
// and workers drop the files after it unwritten.
//
// Slim locks and condition variables come with Windows Vista, older than
// the newest function the launcher imports already.
#include "launcher/unpack_workers.h"

#include <stdlib.h>
#include <wchar.h>

#include <atomic>
#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/cleanup.h"
#include "launcher/state.h"
#include "launcher/tree_delete.h"
#include "paths/extended_path.h"
#include "paths/wide_text.h"
#include "payload/format.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kChunkSize = attached::kDataChunkSize;
constexpr std::size_t kPathCapacity = attached::kPathCapacity;
// What may be in flight: 32 MiB of data, in at most 128 files.
constexpr std::size_t kChunkCount = 1024;
constexpr std::size_t kFileCount = 128;
constexpr int kMinWorkers = 2;
constexpr int kMaxWorkers = 8;
// A worker needs little stack: its path buffer and the system's calls.
constexpr SIZE_T kWorkerStackSize = 256 * 1024;
constexpr std::uint64_t kNoFailure = UINT64_MAX;

const char kWriteFailure[] = "Error, couldn't unpack file to target path.";
const char kDecodeFailure[] = "Error, couldn't decode attached data.";
constexpr DWORD kReplaceAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Chunk {
    Chunk* next;
    DWORD length;
    unsigned char bytes[kChunkSize];
};

struct FileJob {
    FileJob* next; // in the free list or the queue
    Chunk* firstChunk;
    Chunk* lastChunk;
    std::uint64_t sequence;
    std::uint64_t key;
    bool complete;    // every chunk handed over
    bool inFlight;    // handed over and not yet finished by its worker
    bool replaceable; // as createEntryFile takes it
    wchar_t path[kPathCapacity];
};

struct Pool {
    Chunk chunks[kChunkCount];
    FileJob files[kFileCount];
};

// inTheWay: the file was not created because something else stood in its
// place (createEntryFile).
enum class FailedStep { open, write, inTheWay };

struct Failure {
    std::uint64_t sequence;
    FailedStep step;
    DWORD code;
    wchar_t path[kPathCapacity];
};

// Under lock.
SRWLOCK lock = SRWLOCK_INIT;
CONDITION_VARIABLE fileQueued = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE chunkPassed = CONDITION_VARIABLE_INIT;
CONDITION_VARIABLE mainMayGoOn = CONDITION_VARIABLE_INIT;
Chunk* freeChunks = nullptr;
FileJob* freeFiles = nullptr;
FileJob* queueHead = nullptr;
FileJob* queueTail = nullptr;
int filesInFlight = 0;
int idleWorkers = 0;
// Workers asleep on chunkPassed: the one streaming the current file, and
// until it wakes, one that streamed the file before it.
int streamWaiters = 0;
bool mainWaiting = false;
bool stopping = false;
Failure failure;
// Written under lock with failure; read anywhere.
std::atomic<std::uint64_t> failedSequence{kNoFailure};
std::atomic<bool> halted{false};
// The thread that hands files over, 0 when none: the ending gate acts only
// on that thread.
std::atomic<DWORD> handingThread{0};

// Main thread only.
int wantedWorkers = 0;
// False while an unpacking whose failures come back to its caller runs.
bool failureEnds = true;
Pool* pool = nullptr;
HANDLE workers[kMaxWorkers];
int workerCount = 0;
FileJob* currentFile = nullptr;
Chunk* takenChunk = nullptr;
std::uint64_t nextSequence = 0;

void lockState() {
    AcquireSRWLockExclusive(&lock);
}

void unlockState() {
    ReleaseSRWLockExclusive(&lock);
}

void wakeMainLocked() {
    if (mainWaiting) {
        WakeConditionVariable(&mainMayGoOn);
    }
}

// ---- creating files -------------------------------------------------

HANDLE createNewFile(const wchar_t* systemPath) {
    return systemCalls.createFile(systemPath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  0, nullptr);
}

enum class Removal { removed, notTheSameName, failed };

// The file at systemPath stands where the entry at path goes. It is deleted
// when its own final path is targetDirectory's, '\' and the entry's name,
// compared as the system compares names: then it is the file of that very
// name, not one that a short name or a link leads to. Deleting a name never
// touches what another link to the same file holds. failed, with the last
// error, when it cannot be opened or deleted.
Removal removeEarlierFile(const wchar_t* systemPath, const wchar_t* path) {
    alignas(8) wchar_t targetFinal[kFinalPathCapacity];
    if (!readFinalPath(targetDirectory, targetFinal, kFinalPathCapacity)) {
        return Removal::failed;
    }
    const HANDLE existing =
        systemCalls.createFile(systemPath, kReplaceAccess, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        return Removal::failed;
    }
    const wchar_t* const name = path + wcsnlen(targetDirectory, kTargetDirectoryCapacity) + 1;
    Removal removal = Removal::notTheSameName;
    if (isHeldEntryNamed(existing, targetFinal, name)) {
        removal = markHeldForDeletion(existing) ? Removal::removed : Removal::failed;
    }
    const DWORD error = GetLastError();
    systemCalls.closeHandle(existing);
    SetLastError(error);
    return removal;
}

// ---- workers ----------------------------------------------------------

FileJob* takeQueuedFile() {
    lockState();
    while (queueHead == nullptr && !stopping) {
        ++idleWorkers;
        SleepConditionVariableSRW(&fileQueued, &lock, INFINITE, 0);
        --idleWorkers;
    }
    FileJob* const file = queueHead;
    if (file != nullptr) {
        queueHead = file->next;
        if (queueHead == nullptr) {
            queueTail = nullptr;
        }
    }
    unlockState();
    return file;
}

// Gives done (if any) back to the pool and takes file's next chunk, waiting
// for the main thread to pass it; null once the file has ended and every
// chunk is taken.
Chunk* exchangeChunk(FileJob* file, Chunk* done) {
    lockState();
    if (done != nullptr) {
        done->next = freeChunks;
        freeChunks = done;
        wakeMainLocked();
    }
    while (file->firstChunk == nullptr && !file->complete) {
        ++streamWaiters;
        SleepConditionVariableSRW(&chunkPassed, &lock, INFINITE, 0);
        --streamWaiters;
    }
    Chunk* const chunk = file->firstChunk;
    if (chunk != nullptr) {
        file->firstChunk = chunk->next;
        if (file->firstChunk == nullptr) {
            file->lastChunk = nullptr;
        }
    }
    unlockState();
    return chunk;
}

void finishFile(FileJob* file) {
    lockState();
    file->inFlight = false;
    file->next = freeFiles;
    freeFiles = file;
    --filesInFlight;
    wakeMainLocked();
    unlockState();
}

void recordFailure(const FileJob* file, FailedStep step, DWORD code) {
    lockState();
    if (file->sequence < failure.sequence) {
        failure.sequence = file->sequence;
        failure.step = step;
        failure.code = code;
        WideText path = startWideText(failure.path, kPathCapacity);
        appendWide(&path, file->path);
        failedSequence.store(file->sequence);
    }
    wakeMainLocked();
    unlockState();
}

bool isAfterFailure(const FileJob* file) {
    return failedSequence.load() < file->sequence;
}

HANDLE openFile(const FileJob* file, wchar_t* systemPath) {
    if (isAfterFailure(file)) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE opened = INVALID_HANDLE_VALUE;
    bool inTheWay = false;
    if (!halted.load()) {
        opened = createEntryFile(file->path, systemPath, file->replaceable, &inTheWay);
    }
    if (opened == INVALID_HANDLE_VALUE) {
        recordFailure(file, inTheWay ? FailedStep::inTheWay : FailedStep::open, 0);
    }
    return opened;
}

// False when the file is to be given up: it failed, an earlier one did, or
// the run is ending.
bool writeChunk(const FileJob* file, HANDLE opened, const Chunk* chunk) {
    if (isAfterFailure(file)) {
        return false;
    }
    const DWORD error = halted.load() ? ERROR_OPERATION_ABORTED
                                      : writeWholeChunk(opened, chunk->bytes, chunk->length);
    if (error != ERROR_SUCCESS) {
        recordFailure(file, FailedStep::write, error);
        return false;
    }
    return true;
}

// Takes every chunk of the file, also when the file is given up, so that
// the pool gets them back.
void writeFile(FileJob* file, wchar_t* systemPath) {
    HANDLE opened = openFile(file, systemPath);
    Chunk* chunk = nullptr;
    while ((chunk = exchangeChunk(file, chunk)) != nullptr) {
        if (opened != INVALID_HANDLE_VALUE && !writeChunk(file, opened, chunk)) {
            systemCalls.closeHandle(opened);
            opened = INVALID_HANDLE_VALUE;
        }
    }
    if (opened != INVALID_HANDLE_VALUE) {
        systemCalls.closeHandle(opened);
    }
}

DWORD WINAPI runWorker(void*) {
    wchar_t systemPath[kEntrySystemPathCapacity];
    while (FileJob* const file = takeQueuedFile()) {
        writeFile(file, systemPath);
        finishFile(file);
    }
    return 0;
}

// ---- main thread --------------------------------------------------------

// Ends the file being handed over (what was passed of it is still written)
// and waits until no file is in flight.
void settleFiles() {
    lockState();
    if (currentFile != nullptr) {
        currentFile->complete = true;
        WakeAllConditionVariable(&chunkPassed);
        currentFile = nullptr;
    }
    while (filesInFlight > 0) {
        mainWaiting = true;
        SleepConditionVariableSRW(&mainMayGoOn, &lock, INFINITE, 0);
        mainWaiting = false;
    }
    unlockState();
}

// Every file has settled: failure holds the first failure in stream order.
[[noreturn]] void reportFailure() {
    handingThread.store(0);
    // A halt comes from a stop on another thread (a console event), which
    // deletes the run directory and ends the process itself: the files it
    // cut short are not a failure of this run to report.
    if (halted.load()) {
        awaitStopsEnding();
    }
    if (failure.step == FailedStep::inTheWay) {
        fatalError(kDecodeFailure);
    }
    if (failure.step == FailedStep::open) {
        fatalOpenFailure(failure.path);
    }
    fatalSystemError(kWriteFailure, failure.code);
}

[[noreturn]] void endWithFirstFailure() {
    settleFiles();
    reportFailure();
}

// The ending gate: an ending raised on the handing thread (damaged data, a
// refused name, a path too long) comes after every file handed over, so
// those files finish first and an earlier failure among them is reported
// instead. At any ending no worker writes into the run directory any more.
void settleBeforeEnding() {
    if (handingThread.load() != GetCurrentThreadId()) {
        return;
    }
    settleFiles();
    handingThread.store(0);
    if (failedSequence.load() != kNoFailure &&
        (failureEnds || failure.step == FailedStep::inTheWay)) {
        reportFailure();
    }
}

// Called with the lock held; returns with it held, or ends the process.
void waitForWorkersLocked() {
    if (failureEnds && failedSequence.load() != kNoFailure) {
        unlockState();
        endWithFirstFailure();
    }
    mainWaiting = true;
    SleepConditionVariableSRW(&mainMayGoOn, &lock, INFINITE, 0);
    mainWaiting = false;
}

bool isInTheWay(const std::uint64_t* keys, std::size_t count, bool anyFile) {
    if (anyFile) {
        return filesInFlight > 0;
    }
    for (const FileJob& file : pool->files) {
        if (!file.inFlight) {
            continue;
        }
        for (std::size_t index = 0; index < count; ++index) {
            if (keys[index] == file.key) {
                return true;
            }
        }
    }
    return false;
}

int chosenWorkerCount() {
    if (wantedWorkers > 0) {
        return wantedWorkers < kMaxWorkers ? wantedWorkers : kMaxWorkers;
    }
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const int processors = static_cast<int>(system.dwNumberOfProcessors);
    if (processors < kMinWorkers) {
        return kMinWorkers;
    }
    return processors < kMaxWorkers ? processors : kMaxWorkers;
}

void fillPool() {
    freeChunks = nullptr;
    for (Chunk& chunk : pool->chunks) {
        chunk.next = freeChunks;
        freeChunks = &chunk;
    }
    freeFiles = nullptr;
    for (FileJob& file : pool->files) {
        file.inFlight = false;
        file.next = freeFiles;
        freeFiles = &file;
    }
    queueHead = queueTail = nullptr;
    filesInFlight = 0;
    stopping = false;
    failure.sequence = kNoFailure;
    failedSequence.store(kNoFailure);
    nextSequence = 0;
    currentFile = nullptr;
}

void stopWorkers() {
    lockState();
    stopping = true;
    WakeAllConditionVariable(&fileQueued);
    unlockState();
    WaitForMultipleObjects(static_cast<DWORD>(workerCount), workers, TRUE, INFINITE);
    for (int index = 0; index < workerCount; ++index) {
        systemCalls.closeHandle(workers[index]);
    }
    workerCount = 0;
}

} // namespace

HANDLE createEntryFile(const wchar_t* path, wchar_t* systemPath, bool replaceable, bool* inTheWay) {
    *inTheWay = false;
    const wchar_t* const system =
        systemPathFor(path, kLongFilePath, systemPath, kEntrySystemPathCapacity);
    const HANDLE created = createNewFile(system);
    if (created != INVALID_HANDLE_VALUE) {
        return created;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        return INVALID_HANDLE_VALUE;
    }
    if (!replaceable) {
        *inTheWay = true;
        return INVALID_HANDLE_VALUE;
    }
    switch (removeEarlierFile(system, path)) {
    case Removal::removed:
        return createNewFile(system);
    case Removal::notTheSameName:
        *inTheWay = true;
        return INVALID_HANDLE_VALUE;
    case Removal::failed:
        break;
    }
    return INVALID_HANDLE_VALUE;
}

DWORD writeWholeChunk(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    if (!systemCalls.writeFile(file, data, size, &written, nullptr)) {
        return GetLastError();
    }
    return written == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

void setUnpackWorkerCount(int count) {
    wantedWorkers = count;
}

bool startUnpackWorkers(bool failuresEnd) {
    failureEnds = failuresEnd;
    pool = static_cast<Pool*>(malloc(sizeof(Pool)));
    if (pool == nullptr) {
        return false;
    }
    fillPool();
    const int wanted = chosenWorkerCount();
    while (workerCount < wanted) {
        const HANDLE worker =
            systemCalls.createThread(nullptr, kWorkerStackSize, runWorker, nullptr,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (worker == nullptr) {
            break;
        }
        workers[workerCount++] = worker;
    }
    if (workerCount == 0) {
        free(pool);
        pool = nullptr;
        return false;
    }
    handingThread.store(GetCurrentThreadId());
    setEndingGate(settleBeforeEnding);
    return true;
}

void waitForFilesInTheWay(const std::uint64_t* keys, std::size_t count, bool anyFile) {
    lockState();
    while (isInTheWay(keys, count, anyFile)) {
        waitForWorkersLocked();
    }
    unlockState();
}

void beginFile(const wchar_t* path, std::uint64_t key, bool replaceable) {
    lockState();
    while (freeFiles == nullptr || (failureEnds && failedSequence.load() != kNoFailure)) {
        waitForWorkersLocked();
    }
    FileJob* const file = freeFiles;
    freeFiles = file->next;
    unlockState();

    WideText text = startWideText(file->path, kPathCapacity);
    appendWide(&text, path);
    file->key = key;
    file->replaceable = replaceable;
    file->sequence = nextSequence++;
    file->firstChunk = file->lastChunk = nullptr;
    file->complete = false;
    file->next = nullptr;

    lockState();
    file->inFlight = true;
    ++filesInFlight;
    if (queueTail != nullptr) {
        queueTail->next = file;
    } else {
        queueHead = file;
    }
    queueTail = file;
    if (idleWorkers > 0) {
        WakeConditionVariable(&fileQueued);
    }
    currentFile = file;
    unlockState();
}

unsigned char* takeChunkBuffer() {
    lockState();
    while (freeChunks == nullptr || (failureEnds && failedSequence.load() != kNoFailure)) {
        waitForWorkersLocked();
    }
    takenChunk = freeChunks;
    freeChunks = takenChunk->next;
    unlockState();
    return takenChunk->bytes;
}

void passChunk(std::size_t length) {
    takenChunk->length = static_cast<DWORD>(length);
    takenChunk->next = nullptr;
    lockState();
    if (currentFile->lastChunk != nullptr) {
        currentFile->lastChunk->next = takenChunk;
    } else {
        currentFile->firstChunk = takenChunk;
    }
    currentFile->lastChunk = takenChunk;
    if (streamWaiters > 0) {
        WakeAllConditionVariable(&chunkPassed);
    }
    unlockState();
    takenChunk = nullptr;
}

void endFile() {
    lockState();
    currentFile->complete = true;
    if (streamWaiters > 0) {
        WakeAllConditionVariable(&chunkPassed);
    }
    currentFile = nullptr;
    unlockState();
}

bool finishUnpackWorkers() {
    settleFiles();
    const bool failed = failedSequence.load() != kNoFailure;
    if (failed && (failureEnds || failure.step == FailedStep::inTheWay)) {
        reportFailure();
    }
    handingThread.store(0);
    stopWorkers();
    free(pool);
    pool = nullptr;
    return !failed;
}

bool unpackWorkersFailed() {
    return failedSequence.load() != kNoFailure;
}

void haltUnpackWorkers() {
    halted.store(true);
}

void resumeUnpackWorkers() {
    halted.store(false);
}
