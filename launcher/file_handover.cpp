// Files get sequence numbers in stream order; a failure is kept only when
// it is the earliest so far, and workers drop the files after it unwritten.
#include "launcher/file_handover.h"

#include <stdlib.h>

#include <atomic>

#include "diagnostics/diagnostics.h"
#include "launcher/worker_threads.h"
#include "paths/bounded_text.h"
#include "payload/format.h"

namespace {

constexpr std::size_t kPathCapacity = attached::kPathCapacity;
// What may be in flight: 32 MiB of data, in at most 128 files.
constexpr std::size_t kChunkCount = 1024;
constexpr std::size_t kFileCount = 128;
constexpr int kMinWorkers = 2;
constexpr std::uint64_t kNoFailure = UINT64_MAX;

const char kWriteFailure[] = "Error, couldn't unpack file to target path.";
const char kDecodeFailure[] = "Error, couldn't decode attached data.";

constexpr int kMaxWorkers = 8;

struct HandoverChunk {
    HandoverChunk* next;
    std::size_t length;
    unsigned char bytes[attached::kDataChunkSize];
};

struct HandedFile {
    HandedFile* next; // in the free list or the queue
    HandoverChunk* firstChunk;
    HandoverChunk* lastChunk;
    std::uint64_t sequence;
    std::uint64_t key;
    bool complete;    // every chunk handed over
    bool inFlight;    // handed over and not yet finished by its worker
    bool replaceable; // as EntryFileCalls::create takes it
    PathUnit path[attached::kPathCapacity];
};

// inTheWay: the file was not created because something else stood in its
// place.
enum class FailedStep { open, write, inTheWay };

struct HandoverFailure {
    std::uint64_t sequence;
    FailedStep step;
    unsigned long code;
    PathUnit path[attached::kPathCapacity];
};

struct HandoverPool;

} // namespace

// One hand-over: its lock guards the pool, the queue, every file's chunk
// list and the failure; three conditions wake the side that waits.
struct FileHandover {
    WorkerLock lock{};
    WorkerCondition fileQueued{};     // idle workers wait for it
    WorkerCondition chunkPassed{};    // the worker streaming a file waits for it (or its end)
    WorkerCondition workerProgress{}; // the handing thread waits for a chunk or file given
                                      // back, a file finished, a failure
    HandoverPool* pool = nullptr;
    HandoverChunk* freeChunks = nullptr;
    HandedFile* freeFiles = nullptr;
    HandedFile* queueHead = nullptr;
    HandedFile* queueTail = nullptr;
    int filesInFlight = 0;
    int idleWorkers = 0;
    // Workers asleep on chunkPassed: the one streaming the current file, and
    // until it wakes, one that streamed the file before it.
    int streamWaiters = 0;
    bool handingThreadWaits = false;
    bool stopping = false;
    HandoverFailure failure{};
    // Written under the lock with failure; read anywhere.
    std::atomic<std::uint64_t> failedSequence{UINT64_MAX};
    std::atomic<bool> halted{false};
    // The handing thread, kNoWorkerThreadId when none: the ending gate acts
    // only on that thread.
    std::atomic<WorkerThreadId> handingThread{kNoWorkerThreadId};

    // The handing thread's own.
    const EntryFileCalls* calls = nullptr;
    const PathUnit* directory = nullptr;
    WriteFailures failures = WriteFailures::endProcess;
    WorkerStart workerStart{};
    WorkerThread workers[kMaxWorkers];
    int workerCount = 0;
    HandedFile* currentFile = nullptr;
    HandoverChunk* takenChunk = nullptr;
    std::uint64_t nextSequence = 0;
};

namespace {

struct HandoverPool {
    HandoverChunk chunks[kChunkCount];
    HandedFile files[kFileCount];
};

// Process-wide; launcher/state.h lists it.
FileHandover theFileHandover;

// ---- conditions, each with one name -----------------------------------

bool hasFailed(const FileHandover& handover) {
    return handover.failedSequence.load() != kNoFailure;
}

// A failure ends the process as soon as the handing thread sees it.
bool failureEndsNow(const FileHandover& handover) {
    return handover.failures == WriteFailures::endProcess && hasFailed(handover);
}

// Once every file has settled: the kept failure ends the process, whatever
// the caller wants (damage always does).
bool settledFailureEnds(const FileHandover& handover) {
    return hasFailed(handover) && (handover.failures == WriteFailures::endProcess ||
                                   handover.failure.step == FailedStep::inTheWay);
}

bool isAfterFailure(const FileHandover& handover, const HandedFile& file) {
    return handover.failedSequence.load() < file.sequence;
}

void wakeHandingThreadLocked(FileHandover* handover) {
    if (handover->handingThreadWaits) {
        wakeOneSleeper(&handover->workerProgress);
    }
}

// Lists kept as a head and a tail, linked through next.
template <typename Item> Item* takeFirst(Item** head, Item** tail) {
    Item* const item = *head;
    if (item != nullptr) {
        *head = item->next;
        if (*head == nullptr) {
            *tail = nullptr;
        }
    }
    return item;
}

template <typename Item> void appendLast(Item** head, Item** tail, Item* item) {
    item->next = nullptr;
    if (*tail != nullptr) {
        (*tail)->next = item;
    } else {
        *head = item;
    }
    *tail = item;
}

// Sleeps on condition under the hand-over's lock, counted in *sleepers
// meanwhile, so that the side that wakes it can skip the wake when no one
// sleeps.
void sleepCounted(FileHandover* handover, WorkerCondition* condition, int* sleepers) {
    ++*sleepers;
    sleepOnCondition(condition, &handover->lock);
    --*sleepers;
}

// ---- workers ----------------------------------------------------------

HandedFile* takeQueuedFile(FileHandover* handover) {
    acquireWorkerLock(&handover->lock);
    while (handover->queueHead == nullptr && !handover->stopping) {
        sleepCounted(handover, &handover->fileQueued, &handover->idleWorkers);
    }
    HandedFile* const file = takeFirst(&handover->queueHead, &handover->queueTail);
    releaseWorkerLock(&handover->lock);
    return file;
}

// Gives done (if any) back to the pool and takes file's next chunk, waiting
// for the handing thread to pass it; null once the file has ended and every
// chunk is taken.
HandoverChunk* exchangeChunk(FileHandover* handover, HandedFile* file, HandoverChunk* done) {
    acquireWorkerLock(&handover->lock);
    if (done != nullptr) {
        done->next = handover->freeChunks;
        handover->freeChunks = done;
        wakeHandingThreadLocked(handover);
    }
    while (file->firstChunk == nullptr && !file->complete) {
        sleepCounted(handover, &handover->chunkPassed, &handover->streamWaiters);
    }
    HandoverChunk* const chunk = takeFirst(&file->firstChunk, &file->lastChunk);
    releaseWorkerLock(&handover->lock);
    return chunk;
}

void finishFile(FileHandover* handover, HandedFile* file) {
    acquireWorkerLock(&handover->lock);
    file->inFlight = false;
    file->next = handover->freeFiles;
    handover->freeFiles = file;
    --handover->filesInFlight;
    wakeHandingThreadLocked(handover);
    releaseWorkerLock(&handover->lock);
}

void recordFailure(FileHandover* handover, const HandedFile& file, FailedStep step,
                   unsigned long code) {
    acquireWorkerLock(&handover->lock);
    HandoverFailure& failure = handover->failure;
    if (file.sequence < failure.sequence) {
        failure.sequence = file.sequence;
        failure.step = step;
        failure.code = code;
        PathText path = startText(failure.path, kPathCapacity);
        appendText(&path, file.path);
        handover->failedSequence.store(file.sequence);
    }
    wakeHandingThreadLocked(handover);
    releaseWorkerLock(&handover->lock);
}

EntryFile openFile(FileHandover* handover, const HandedFile& file) {
    if (isAfterFailure(*handover, file)) {
        return kNoEntryFile;
    }
    EntryFile opened = kNoEntryFile;
    bool inTheWay = false;
    if (!handover->halted.load()) {
        opened =
            handover->calls->create(handover->directory, file.path, file.replaceable, &inTheWay);
    }
    if (opened == kNoEntryFile) {
        recordFailure(handover, file, inTheWay ? FailedStep::inTheWay : FailedStep::open, 0);
    }
    return opened;
}

// False when the file is to be given up: it failed, an earlier one did, or
// the hand-over is halted.
bool writeChunk(FileHandover* handover, const HandedFile& file, EntryFile opened,
                const HandoverChunk& chunk) {
    if (isAfterFailure(*handover, file)) {
        return false;
    }
    const unsigned long error = handover->halted.load()
                                    ? handover->calls->haltedWriteError
                                    : handover->calls->write(opened, chunk.bytes, chunk.length);
    if (error != 0) {
        recordFailure(handover, file, FailedStep::write, error);
        return false;
    }
    return true;
}

// Takes every chunk of the file, also when the file is given up, so that
// the pool gets them back.
void writeFile(FileHandover* handover, HandedFile* file) {
    EntryFile opened = openFile(handover, *file);
    HandoverChunk* chunk = nullptr;
    while ((chunk = exchangeChunk(handover, file, chunk)) != nullptr) {
        if (opened != kNoEntryFile && !writeChunk(handover, *file, opened, *chunk)) {
            handover->calls->close(opened);
            opened = kNoEntryFile;
        }
    }
    if (opened != kNoEntryFile) {
        handover->calls->close(opened);
    }
}

void runWorker(void* context) {
    FileHandover* const handover = static_cast<FileHandover*>(context);
    while (HandedFile* const file = takeQueuedFile(handover)) {
        writeFile(handover, file);
        finishFile(handover, file);
    }
}

// ---- the handing thread -------------------------------------------------

// Ends the file being handed over (what was passed of it is still written)
// and waits until no file is in flight.
void settleFiles(FileHandover* handover) {
    acquireWorkerLock(&handover->lock);
    if (handover->currentFile != nullptr) {
        handover->currentFile->complete = true;
        wakeAllSleepers(&handover->chunkPassed);
        handover->currentFile = nullptr;
    }
    while (handover->filesInFlight > 0) {
        handover->handingThreadWaits = true;
        sleepOnCondition(&handover->workerProgress, &handover->lock);
        handover->handingThreadWaits = false;
    }
    releaseWorkerLock(&handover->lock);
}

// No ending waits for this hand-over any more.
void closeEndingGate(FileHandover* handover) {
    handover->handingThread.store(kNoWorkerThreadId);
    setEndingGate(nullptr);
}

// Every file has settled: the kept failure is the first in stream order.
// The gate is closed first, so that the ending this raises goes through.
[[noreturn]] void endWithSettledFailure(FileHandover* handover) {
    closeEndingGate(handover);
    // A halt comes from a stop on another thread, which deletes the
    // directory and ends the process itself: the files it cut short are not
    // a failure to report.
    if (handover->halted.load()) {
        sleepForever();
    }
    const HandoverFailure& failure = handover->failure;
    if (failure.step == FailedStep::inTheWay) {
        fatalError(kDecodeFailure);
    }
    if (failure.step == FailedStep::open) {
        fatalOpenFailure(failure.path);
    }
    fatalSystemError(kWriteFailure, failure.code);
}

// Called with the lock held; returns with it held, or ends the process.
void waitForWorkersLocked(FileHandover* handover) {
    if (failureEndsNow(*handover)) {
        releaseWorkerLock(&handover->lock);
        settleFiles(handover);
        endWithSettledFailure(handover);
    }
    handover->handingThreadWaits = true;
    sleepOnCondition(&handover->workerProgress, &handover->lock);
    handover->handingThreadWaits = false;
}

// Waits until the free list holds an item, and takes it; ends the process
// instead once a failure that ends it has come.
template <typename Item> Item* takeFreeItem(FileHandover* handover, Item** freeList) {
    acquireWorkerLock(&handover->lock);
    while (*freeList == nullptr || failureEndsNow(*handover)) {
        waitForWorkersLocked(handover);
    }
    Item* const item = *freeList;
    *freeList = item->next;
    releaseWorkerLock(&handover->lock);
    return item;
}

bool isInTheWay(const FileHandover& handover, const std::uint64_t* keys, std::size_t count,
                bool anyFile) {
    if (anyFile) {
        return handover.filesInFlight > 0;
    }
    for (const HandedFile& file : handover.pool->files) {
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

void fillPool(FileHandover* handover) {
    handover->freeChunks = nullptr;
    for (HandoverChunk& chunk : handover->pool->chunks) {
        chunk.next = handover->freeChunks;
        handover->freeChunks = &chunk;
    }
    handover->freeFiles = nullptr;
    for (HandedFile& file : handover->pool->files) {
        file.inFlight = false;
        file.next = handover->freeFiles;
        handover->freeFiles = &file;
    }
    handover->queueHead = handover->queueTail = nullptr;
    handover->filesInFlight = 0;
    handover->stopping = false;
    handover->failure.sequence = kNoFailure;
    handover->failedSequence.store(kNoFailure);
    handover->nextSequence = 0;
    handover->currentFile = nullptr;
}

void stopWorkers(FileHandover* handover) {
    acquireWorkerLock(&handover->lock);
    handover->stopping = true;
    wakeAllSleepers(&handover->fileQueued);
    releaseWorkerLock(&handover->lock);
    joinWorkerThreads(handover->workers, handover->workerCount);
    handover->workerCount = 0;
}

void releasePool(FileHandover* handover) {
    free(handover->pool);
    handover->pool = nullptr;
}

// The ending gate (diagnostics/diagnostics.h) while the process's
// hand-over runs: an ending raised on the handing thread (damaged data, a
// refused name, a path too long) comes after every file handed over, so
// those files finish first and an earlier failure among them is reported
// instead; at any ending no worker writes any more.
void settleBeforeEnding() {
    FileHandover* const handover = &theFileHandover;
    if (handover->handingThread.load() != currentWorkerThreadId()) {
        return;
    }
    settleFiles(handover);
    if (settledFailureEnds(*handover)) {
        endWithSettledFailure(handover);
    }
    closeEndingGate(handover);
}

} // namespace

FileHandover* processFileHandover() {
    return &theFileHandover;
}

int chooseWorkerCount(int wanted) {
    if (wanted > 0) {
        return wanted < kMaxWorkers ? wanted : kMaxWorkers;
    }
    const int processors = processorCount();
    if (processors < kMinWorkers) {
        return kMinWorkers;
    }
    return processors < kMaxWorkers ? processors : kMaxWorkers;
}

bool startFileHandover(FileHandover* handover, const EntryFileCalls* calls,
                       const PathUnit* directory, int workerCount, WriteFailures failures) {
    handover->calls = calls;
    handover->directory = directory;
    handover->failures = failures;
    startWorkerLock(&handover->lock);
    startWorkerCondition(&handover->fileQueued);
    startWorkerCondition(&handover->chunkPassed);
    startWorkerCondition(&handover->workerProgress);
    handover->pool = static_cast<HandoverPool*>(malloc(sizeof(HandoverPool)));
    if (handover->pool == nullptr) {
        return false;
    }
    fillPool(handover);
    handover->workerStart = WorkerStart{runWorker, handover};
    const int wanted = workerCount < kMaxWorkers ? workerCount : kMaxWorkers;
    while (handover->workerCount < wanted &&
           startWorkerThread(&handover->workers[handover->workerCount], &handover->workerStart)) {
        ++handover->workerCount;
    }
    if (handover->workerCount == 0) {
        releasePool(handover);
        return false;
    }
    handover->handingThread.store(currentWorkerThreadId());
    setEndingGate(settleBeforeEnding);
    return true;
}

void waitForFilesInTheWay(FileHandover* handover, const std::uint64_t* keys, std::size_t count,
                          bool anyFile) {
    acquireWorkerLock(&handover->lock);
    while (isInTheWay(*handover, keys, count, anyFile)) {
        waitForWorkersLocked(handover);
    }
    releaseWorkerLock(&handover->lock);
}

void handOverFile(FileHandover* handover, const PathUnit* path, std::uint64_t key,
                  bool replaceable) {
    HandedFile* const file = takeFreeItem(handover, &handover->freeFiles);
    PathText text = startText(file->path, kPathCapacity);
    appendText(&text, path);
    file->key = key;
    file->replaceable = replaceable;
    file->sequence = handover->nextSequence++;
    file->firstChunk = file->lastChunk = nullptr;
    file->complete = false;

    acquireWorkerLock(&handover->lock);
    file->inFlight = true;
    ++handover->filesInFlight;
    appendLast(&handover->queueHead, &handover->queueTail, file);
    if (handover->idleWorkers > 0) {
        wakeOneSleeper(&handover->fileQueued);
    }
    handover->currentFile = file;
    releaseWorkerLock(&handover->lock);
}

unsigned char* acquireChunk(FileHandover* handover) {
    HandoverChunk* const chunk = takeFreeItem(handover, &handover->freeChunks);
    handover->takenChunk = chunk;
    return chunk->bytes;
}

void passChunk(FileHandover* handover, std::size_t length) {
    HandoverChunk* const chunk = handover->takenChunk;
    chunk->length = length;
    acquireWorkerLock(&handover->lock);
    HandedFile* const file = handover->currentFile;
    appendLast(&file->firstChunk, &file->lastChunk, chunk);
    if (handover->streamWaiters > 0) {
        wakeAllSleepers(&handover->chunkPassed);
    }
    releaseWorkerLock(&handover->lock);
    handover->takenChunk = nullptr;
}

void endHandedFile(FileHandover* handover) {
    acquireWorkerLock(&handover->lock);
    handover->currentFile->complete = true;
    if (handover->streamWaiters > 0) {
        wakeAllSleepers(&handover->chunkPassed);
    }
    handover->currentFile = nullptr;
    releaseWorkerLock(&handover->lock);
}

bool finishFileHandover(FileHandover* handover) {
    settleFiles(handover);
    if (settledFailureEnds(*handover)) {
        endWithSettledFailure(handover);
    }
    closeEndingGate(handover);
    stopWorkers(handover);
    releasePool(handover);
    return !hasFailed(*handover);
}

bool hasHandoverFailed(const FileHandover* handover) {
    return hasFailed(*handover);
}

void haltFileHandover(FileHandover* handover) {
    handover->halted.store(true);
}

void resumeFileHandover(FileHandover* handover) {
    handover->halted.store(false);
}
