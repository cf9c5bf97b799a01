// The unpacking's files on Windows: how an entry's file is created and
// written (on the unpacking thread or a worker), and the process's one
// hand-over to the worker threads (launcher/file_handover.h).
#ifndef CORVELLINTH_LAUNCHER_UNPACK_WORKERS_H
#define CORVELLINTH_LAUNCHER_UNPACK_WORKERS_H

#include <windows.h>

#include <cstddef>

#include "launcher/file_handover.h"
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
// and it is the file of exactly this name below directory, compared
// as the system compares names. Anything else there (the file that this
// name is the short (8.3) name of, a link, anything planted) sets
// *inTheWay. INVALID_HANDLE_VALUE, with the last error, when the file is
// not created. Any thread.
HANDLE createEntryFile(const wchar_t* directory, const wchar_t* path, wchar_t* systemPath,
                       bool replaceable, bool* inTheWay);

// Writes size bytes to file with one WriteFile. Returns ERROR_SUCCESS, or
// the error to report; a short write that reports success has left no
// error code behind (the last error is whatever an earlier call left), so it
// gets ERROR_WRITE_FAULT. Any thread.
DWORD writeWholeChunk(HANDLE file, const void* data, DWORD size);

// The number of workers the next start asks for; 0 (the default) chooses
// from the number of processors. For tests and the benchmark.
void setUnpackWorkerCount(int count);

// Starts the process's hand-over (startFileHandover) into directory on this
// thread. Null when no worker starts: the caller writes the files itself.
FileHandover* startUnpackWorkers(const wchar_t* directory, WriteFailures failures);

// True once a file handed over has failed.
bool unpackWorkersFailed();

// Any thread, when the run directory is about to be deleted (haltFileHandover).
void haltUnpackWorkers();

// Main thread, when the run directory that a halt was for has been given
// up (launcher/run_directory.h, releaseRunDirectory) and no ending is under
// way: the workers of a later unpacking, into another directory, write
// again.
void resumeUnpackWorkers();

#endif
