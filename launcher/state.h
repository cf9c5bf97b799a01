// Process-wide state. Everything the launcher keeps lives for the whole
// process in fixed places; nothing is kept between runs.
//
// Shared between the start-up sequence, the unpacking and the cleanup, and
// with the console handler's thread: the five variables declared below.
//
// Two more, private to launcher/cleanup.cpp, are shared between console
// handler threads (atomics): childDeadline, when a running child's grace
// ends (a later event may bring it forward), and stopStarted, set by the
// first event's handler, which ends the process.
//
// Every other file-level buffer and flag is private to one file and used on
// the main thread only, but for the unpacking's hand-over to its workers.
// Capacities count code units with the terminator unless they say bytes.
//   launcher/cache.cpp         record             the package's cache record, parsed
//                              cacheFolder        4096   where the package's copies go
//                              copyDirectory      4096   cacheFolder '\' copyName
//                              copyName           33     the key's 32 hex digits
//                              runDirectory       4096   targetDirectory from the unpack spec
//                              copyMarker         the held copy's marker, never closed
//   launcher/child_launch.cpp  launcherDirectory  4097   TAMBRO_ONEFILE_DIRECTORY's value
//                              ownExecutablePath  4096   the child's image, filled once
//                              commandLine        32768  the child's command line
//                              childJob           the job the child runs in, never closed
//                              childAttributes    64 bytes, the attribute list that creates
//                                                 the child inside childJob
//   launcher/run_directory.cpp runDirectoryHold   the run directory held open without delete
//                                                 sharing (atomic: any thread closes it)
//   launcher/run_guard.cpp     runGuard           the run guard this process holds, never closed
//   launcher/startup.cpp       parentPath         2048   the inherited parent's resolved path
//   launcher/unpack.cpp        entryName          1024   the entry being unpacked
//                              fullPath           4096   targetDirectory '\' entryName
//                              mainFilePath       4096   the first entry's full path, kept
//                              systemPath         4102   fullPath in the extended-length form
//                              writeBuffer        32768 bytes, one WriteFile chunk
//                              entryKeys          512 keys of entryName's paths
//                              entryFile          the file being written, or none
//   launcher/unpack_workers.cpp the hand-over to the worker threads: its lock, condition
//                              variables, queue and failure (shared with the workers, under
//                              the lock), the 33 MiB pool of chunks and files (heap, from
//                              startUnpackWorkers to finishUnpackWorkers), and the halt flag
//                              that the run directory's delete raises from any thread
//   launcher/written_names.cpp slots, capacity, used: the unpacking's set of whole-name
//                                                 keys written (heap, grows; freed after it)
//   diagnostics/diagnostics.cpp endingHook, hookTaken: what every ending runs once (the
//                              run directory's delete), set when the parent creates it;
//                              endingGate: what every ending runs first (the workers settle)
//   paths/directories.cpp      knownDirectories   1024 heap copies, freed when a run
//                                                 directory is given up
//                              knownCount         how many of them are in use
//   paths/executable_path.cpp  plainPathCache     4097   getExecutablePath(false), filled once
//                              resolvedPathCache  4097   getExecutablePath(true), filled once
//   payload/reader.cpp         decoder, window    zstd decoder and 128 KiB heap window,
//                                                 from createReader to releaseReader
//                              input              the compressed bytes, read in place
//                              produced, consumed, windowWasFilled, frameGaveOutput,
//                                                 frameEnded: the window's and the frame's state
//                              allocateReaderWindow  the window's allocation (a test seam)
//   system/system_calls.cpp    systemCalls        the Windows calls tests can make fail
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
// the finished text), read by the unpacking and the cleanup.
extern wchar_t targetDirectory[kTargetDirectoryCapacity];

// The final path of targetDirectory, taken right after the parent created
// it: the delete touches nothing that does not lie below it. Written once,
// before cleanupFlag goes up.
alignas(8) extern wchar_t runDirectoryFinalPath[kFinalPathCapacity];

// 1 once the parent has created targetDirectory itself and recorded its
// final path; nothing is ever deleted otherwise (and never by the child).
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
