// Process-wide state. Everything the launcher keeps lives for the whole
// process in fixed places; nothing is kept between runs.
//
// Shared between the start-up sequence, the unpacking and the cleanup, and
// with the console handler's thread: the five variables declared below.
// Every other one is private to its file and used on the main thread only,
// unless its line says otherwise. The index below names every one of them,
// file by file (scripts/check-source fails when it and the sources
// disagree); capacities count code units with the terminator unless they
// say bytes.
//   launcher/state.cpp
//     targetDirectory        4096   the expanded unpack spec (below)
//     runDirectoryFinalPath  8192   its final path (below)
//     cleanupFlag, childProcess, childExitCode: below
//   launcher/run_directory.cpp
//     runDirectoryHold       the armed run directory held open without delete
//                            sharing (atomic: any thread closes it)
//     armedDirectory         which run directory the cleanup deletes: the
//                            start-up's or a new cached copy (atomic, set
//                            before cleanupFlag goes up)
//   launcher/run_stop.cpp
//     stopStarted            set by the first console event's handler, which
//                            ends the process (atomic)
//   launcher/cleanup.cpp
//     childDeadline          when a running child's grace ends; a later
//                            console event may bring it forward (atomic)
//   launcher/run_guard.cpp
//     runGuard               the run guard this process holds, never closed
//   launcher/cache.cpp
//     record                 the package's cache record, parsed
//     cacheFolder     4096   where the package's copies go
//     copyDirectory   4096   cacheFolder '\' copyName
//     copyName        33     the key's 32 hex digits
//     newCopyPath     4096   a new copy's run directory in cacheFolder
//     newCopyFinalPath  8192 its final path
//     copyMarker             the held copy's marker, never closed
//   launcher/child_launch.cpp
//     launcherDirectory  4097 TAMBRO_ONEFILE_DIRECTORY's value
//     ownExecutablePath  4096 the child's image, filled once
//     commandLine     32768  the child's command line
//     childJob               the job the child runs in, never closed
//     childAttributes        64 bytes, the attribute list that creates the
//                            child inside childJob
//   launcher/startup.cpp
//     parentPath      2048   the inherited parent's resolved path (a static
//                            in its function)
//   launcher/unpack.cpp
//     entryName       1024   the entry being unpacked
//     fullPath        4096   its directory '\' entryName
//     mainFilePath    4096   the first entry's full path, kept
//     systemPath      4102   fullPath in the extended-length form
//     writeBuffer            32768 bytes, one WriteFile chunk
//     entryKeys              512 keys of entryName's paths
//     entryFile              the file being written, or none
//   launcher/file_handover.cpp
//     theFileHandover        the hand-over to the worker threads: its lock,
//                            conditions, queue and failure (shared with the
//                            workers, under the lock), the 33 MiB pool of
//                            chunks and files (heap, while a hand-over runs),
//                            and the halt flag that the run directory's
//                            delete raises from any thread (atomic)
//   launcher/unpack_workers.cpp
//     wantedWorkers          how many workers the next hand-over asks for
//   launcher/written_names.cpp
//     slots, capacity, used: the unpacking's set of whole-name keys written
//                            (heap, grows; freed after it)
//   diagnostics/diagnostics.cpp
//     endingHook, hookTaken: what every ending runs once (the run
//                            directory's delete), set when the parent
//                            creates it (atomic)
//     endingGate             what every ending runs first (the workers
//                            settle; atomic)
//   paths/directories.cpp
//     knownDirectories       1024 heap copies, freed when a run directory is
//                            given up
//     knownCount             how many of them are in use
//   paths/executable_path.cpp
//     plainPathCache  4097   getExecutablePath(false), filled once
//     resolvedPathCache  4097 getExecutablePath(true), filled once
//   payload/reader.cpp
//     decoder, window        zstd decoder and 128 KiB heap window, from
//                            createReader to releaseReader
//     input                  the compressed bytes, read in place
//     produced, consumed, windowWasFilled, frameGaveOutput, frameEnded: the
//                            window's and the frame's state
//     allocateReaderWindow   the window's allocation (a test seam)
//   system/system_calls.cpp
//     systemCalls            the Windows calls tests can make fail
// Buffers of 4096 code units or more that a call needs only for its own
// time (the environment value, directory levels, a delete walk's, the
// sweep's or a copy check's path and final path) are on the stack instead:
// the main thread reserves 2 MiB.
#ifndef CORVELLINTH_LAUNCHER_STATE_H
#define CORVELLINTH_LAUNCHER_STATE_H

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "launcher/path_capacities.h"

// The expanded unpack spec. Written once by the start-up sequence before
// the console handler is registered (so the handler's thread always sees
// the finished text), read by the unpacking and the cleanup
// (launcher/run_directory.h, startupRunDirectory).
extern wchar_t targetDirectory[kTargetDirectoryCapacity];

// The final path of targetDirectory, taken right after the parent created
// it: the delete touches nothing that does not lie below it. Written once,
// before cleanupFlag goes up.
alignas(8) extern wchar_t runDirectoryFinalPath[kFinalPathCapacity];

// 1 once the parent has created a run directory itself (targetDirectory or
// a new cached copy) and recorded its final path; nothing is ever deleted
// otherwise (and never by the child).
extern std::atomic<unsigned char> cleanupFlag;

// The running child, or null. Whoever takes it out of the variable (with
// exchange) owns it and is the only one to wait on, terminate or close it.
extern std::atomic<HANDLE> childProcess;

// The child's exit code as the main thread read it when its wait returned,
// published before it takes the handle back, so that a console handler
// that finds no handle ends with the same code. kNoChildExitCode until then.
inline constexpr std::int64_t kNoChildExitCode = -1;
extern std::atomic<std::int64_t> childExitCode;

#endif
