// Writing the unpacked files on worker threads while the main thread reads
// the entry stream. The main thread checks each name, makes its directories
// and hands the file over in stream order, its data in chunks from a fixed
// pool (so the memory in flight is capped whatever the payload); a worker
// creates, writes and closes it through the system-call table. Workers
// never print: they keep their failures, and the main thread reports the
// first one in stream order once every earlier file has finished, also when
// its own reading fails first (the ending gate, diagnostics/diagnostics.h).
#ifndef CORVELLINTH_LAUNCHER_UNPACK_WORKERS_H
#define CORVELLINTH_LAUNCHER_UNPACK_WORKERS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "paths/extended_path.h"
#include "payload/format.h"

// Code units of the buffer that createEntryFile builds the system's path in.
inline constexpr std::size_t kEntrySystemPathCapacity =
    attached::kPathCapacity + kExtendedPrefixGrowth;

// Creates the unpacked file at path as a new file for writing, sharing only
// writing; a long path goes to the system in the extended-length form,
// built in systemPath. Nothing already there is ever written through: a
// file there is replaced (deleted, then created anew) only when replaceable
// (an earlier entry may have had the same name, launcher/written_names.h)
// and it is the file of exactly this name below targetDirectory, compared
// as the system compares names. Anything else there (the file that this
// name is the short (8.3) name of, a link, anything planted) sets
// *inTheWay. INVALID_HANDLE_VALUE, with the last error, when the file is
// not created. Any thread.
HANDLE createEntryFile(const wchar_t* path, wchar_t* systemPath, bool replaceable, bool* inTheWay);

// Writes size bytes to file with one WriteFile. Returns ERROR_SUCCESS, or
// the error to report; a short write that reports success has left no
// error code behind (the last error is whatever an earlier call left), so it
// gets ERROR_WRITE_FAULT. Any thread.
DWORD writeWholeChunk(HANDLE file, const void* data, DWORD size);

// The number of workers the next start asks for; 0 (the default) chooses
// from the number of processors. For tests and the benchmark.
void setUnpackWorkerCount(int count);

// Main thread, from here to finishUnpackWorkers. Starts the workers and
// takes the chunk pool. False when the pool cannot be had or not even one
// worker starts: nothing has been handed over, and the caller writes the
// files itself. failuresEnd says what a file that cannot be created or
// written does: end the process (below), or only make finishUnpackWorkers
// return false.
bool startUnpackWorkers(bool failuresEnd);

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
void waitForFilesInTheWay(const std::uint64_t* keys, std::size_t count, bool anyFile);

// Hands over the file at path (the full path as the user knows it), keyed
// as the last of its entryPathKeys; replaceable as createEntryFile takes
// it. Its data follows chunk by chunk: fill the buffer that takeChunkBuffer
// gives (up to the data chunk size), pass it with its length, and end the
// file with endFile.
void beginFile(const wchar_t* path, std::uint64_t key, bool replaceable);
unsigned char* takeChunkBuffer();
void passChunk(std::size_t length);
void endFile();

// Waits until every file handed over is written and closed or given up,
// then ends the workers and gives the pool back. When a file failed, ends
// the process with the first failure's message in stream order, or, when
// failures do not end it, returns false; true otherwise. A file that found
// something in its way always ends the process, with "Error, couldn't
// decode attached data.": the package is damaged.
bool finishUnpackWorkers();

// True once a file handed over has failed. Main thread.
bool unpackWorkersFailed();

// Any thread, when the run directory is about to be deleted: workers stop
// creating and writing files and close the ones they hold, so that the
// delete finds nothing held open or added. Each file given up this way
// counts as failed, so the unpacking cannot end as a success.
void haltUnpackWorkers();

// Main thread, when the run directory that a halt was for has been given
// up (launcher/run_directory.h, releaseRunDirectory) and no ending is under
// way: the workers of a later unpacking, into another directory, write
// again.
void resumeUnpackWorkers();

#endif
