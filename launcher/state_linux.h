// Process-wide state of the Linux launcher. Everything lives for the whole
// process in fixed places (or, for the delete walk's way down, on the heap
// for the walk's time); nothing is kept between runs. There is one thread:
// signals are read from a descriptor, never handled asynchronously. Each
// item is private to one file; capacities count bytes with the terminator.
//   launcher/run_directory_linux.cpp
//     targetDirectory   4096   the run directory's path
//     primaryPlace      4096   where the unpack spec puts it, for a message
//     placeDescriptor          the directory that holds it
//     runDescriptor            the run directory itself
//     runName                  its name, in targetDirectory
//     cleanupArmed             set once the parent made it
//   launcher/cache_linux.cpp
//     record                   the parsed cache record
//     cacheFolder       4096   where the package's copies are
//     copyPath          4096   cacheFolder '/' copyName
//     copyName          33     the key's digits
//     folderDescriptor         the cache folder
//     copyMarker               the copy's marker, locked shared while it runs
//   launcher/stop_signals_linux.cpp
//     startMask, startChildAction  the signal mask and SIGCHLD's action at
//                              start, which the child gets back
//     takenStops               the stop signals not ignored at start
//     signalDescriptor         where the parent reads its signals
//   launcher/child_linux.cpp
//     childStart               fork alone, or fork and exec (benchmark)
//   launcher/unpack_linux.cpp
//     entryName         1024   UTF-16 units, the entry being read
//     relativePath      4096   its UTF-8 path below the run directory
//     fullPath          4096   targetDirectory '/' relativePath
//     mainFile          4096   the first entry's full path, kept
//     writeBuffer       32768  one chunk of file data
//     openDirectoryPart, openDirectoryLength, openDirectory: the last
//                              file's directory, kept open
//   paths/own_program_linux.cpp
//     recorded                 main's argument vector
//     ownPath           4096   /proc/self/exe's target
//     application              the vector run_code gets
//   payload/attached_data_linux.cpp
//     sections, mapped         the package's sections and their mappings
//   payload/reader.cpp         the decoder and its window (launcher/state.h)
//   diagnostics/diagnostics.cpp
//     endingHook               the run directory's delete, once it is made
#ifndef CORVELLINTH_LAUNCHER_STATE_LINUX_H
#define CORVELLINTH_LAUNCHER_STATE_LINUX_H
#endif
