// Handing unpacked files over to worker threads while one thread (the
// handing thread) reads the entry stream. The handing thread checks each
// name, makes its directories and hands the file over in stream order, its
// data in chunks from a fixed pool (so the memory in flight is capped
// whatever the payload); a worker creates, writes and closes it through the
// system's entry file calls. Workers never print: they keep their failures,
// and the handing thread reports the first one in stream order once every
// earlier file has finished, also when its own reading fails first (the
// ending gate, diagnostics/diagnostics.h).
//
// The whole hand-over is one FileHandover over a thin lock, condition and
// thread layer (launcher/worker_threads.h); the system gives it only its
// entry file calls, and includes nothing of either system here. Every
// function below is for the handing thread but haltFileHandover, which any
// thread may call.
#ifndef CORVELLINTH_LAUNCHER_FILE_HANDOVER_H
#define CORVELLINTH_LAUNCHER_FILE_HANDOVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "launcher/write_failures.h"
#include "paths/path_text.h"

// An open entry file as the system's calls know it (a handle, a descriptor).
using EntryFile = std::intptr_t;
inline constexpr EntryFile kNoEntryFile = -1;

// What the workers do to the system.
struct EntryFileCalls {
    // Creates the file at path, below directory, as a new file for writing;
    // kNoEntryFile when it is not created, with *inTheWay set when something
    // else stands in its place (the package is damaged). replaceable: an
    // earlier entry may have had the same name.
    EntryFile (*create)(const PathUnit* directory, const PathUnit* path, bool replaceable,
                        bool* inTheWay);
    // Writes size bytes; 0, or the error code to report.
    unsigned long (*write)(EntryFile file, const void* data, std::size_t size);
    void (*close)(EntryFile file);
    // The error code that a write cut short by a halt records.
    unsigned long haltedWriteError;
};

// The hand-over's whole state: its lock, its conditions, the pool, the
// queue, the kept failure. Only these functions touch it.
struct FileHandover;

// The process's one hand-over.
FileHandover* processFileHandover();

// The number of workers for wanted (0: chosen from the number of
// processors, 2 to 8).
int chooseWorkerCount(int wanted);

// Takes the chunk pool and starts workerCount workers (at most 8), which
// write below directory (unchanged until the hand-over finishes). False
// when the pool cannot be had or not even one worker starts: nothing has
// been handed over, and the caller writes the files itself. The calling
// thread becomes the handing thread, and until the hand-over finishes,
// every ending of the process raised on it first ends the file being
// handed over and lets every file in flight finish; when one of them
// failed and that failure ends the process, it ends with that failure's
// message instead (the ending gate, diagnostics/diagnostics.h).
bool startFileHandover(FileHandover* handover, const EntryFileCalls* calls,
                       const PathUnit* directory, int workerCount, WriteFailures failures);

// When failures end the process, every function below that waits (for a
// chunk, a place for a file, files in the way) ends it instead once a
// worker has failed: with the first failure's message in stream order,
// after every file before it has finished. Otherwise they go on, and the
// workers give up every file handed over after the failed one. None of
// them may be called while another file is half handed over.

// Waits until no file in flight may be one of the paths whose keys are
// given (entryPathKeys: the directories a name goes through and the name
// itself), or with anyFile until no file is in flight at all. A directory
// must not be made where an earlier file is still to be created, nor a file
// written twice at once.
void waitForFilesInTheWay(FileHandover* handover, const std::uint64_t* keys, std::size_t count,
                          bool anyFile);

// Hands over the file at path (the full path as the user knows it), keyed
// as the last of its entryPathKeys. Its data follows chunk by chunk: fill
// the buffer that acquireChunk gives (up to the data chunk size), pass it
// with its length, and end the file with endHandedFile.
void handOverFile(FileHandover* handover, const PathUnit* path, std::uint64_t key,
                  bool replaceable);
unsigned char* acquireChunk(FileHandover* handover);
void passChunk(FileHandover* handover, std::size_t length);
void endHandedFile(FileHandover* handover);

// Waits until every file handed over is written and closed or given up,
// then ends the workers and gives the pool back. When a file failed, ends
// the process with the first failure's message in stream order, or, when
// failures return false, returns false; true otherwise. A file that found
// something in its way always ends the process, with "Error, couldn't
// decode attached data.": the package is damaged.
bool finishFileHandover(FileHandover* handover);

// True once a file handed over has failed.
bool hasHandoverFailed(const FileHandover* handover);

// Any thread, when the directory written into is about to be deleted:
// workers stop creating and writing files and close the ones they hold, so
// that the delete finds nothing held open or added. Each file given up this
// way counts as failed, so the hand-over cannot end as a success. Whoever
// halts ends the process unless the hand-over is over: a failure found
// while halted is never reported, the handing thread sleeps until that end.
void haltFileHandover(FileHandover* handover);

// When the directory that a halt was for has been given up: a later
// hand-over writes again.
void resumeFileHandover(FileHandover* handover);

#endif
