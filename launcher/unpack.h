// Walking the entry stream: the parent writes every entry below the target
// directory; the child reads the first name and runs that file's run_code.
#ifndef CORVELLINTH_LAUNCHER_UNPACK_H
#define CORVELLINTH_LAUNCHER_UNPACK_H

#include <cstdint>

#include "launcher/file_handover.h"

// Parent role: writes every entry below directory, reads the frame on
// to its end (payload/reader.h, finishAttachedFrame: its checksum, and
// nothing after the end marker), then releases the reader, and returns true
// once every file is closed. This thread reads the stream and makes the
// directories; worker threads create, write and close the files
// (launcher/unpack_workers.h), or this thread does when no worker can be
// started. Damaged data ends the process with its message and exit code 2,
// and so does an entry whose file finds something else in its place (the
// file that its name is the short name of, anything planted: the decode
// message), and a file that cannot be created or written: the first such
// failure in stream order, as if the entries were written one after the
// other. When failures say to return false, a file that cannot be created or
// written makes it return false instead, silently, soon after the failure:
// the reader is then in the middle of the stream (releaseReader), and the
// file that this thread was writing, if any, still open (closeEntryFile).
bool unpackAllEntries(const wchar_t* directory, WriteFailures failures);

// The same into targetDirectory.
bool unpackAllEntries(WriteFailures failures = WriteFailures::endProcess);

// Closes the file that unpackAllEntries is writing itself (without
// workers), if any: an ending in the middle of a file calls it so that the
// file can be deleted. Main thread only.
void closeEntryFile();

// Child role, and a parent that runs a cached copy itself: reads the first
// entry's name, the application's main file (already on disk below
// directory), and, when size is given, its size. Returns the name (valid
// until the next unpacking). Never returns on failure.
const wchar_t* readMainEntry(const wchar_t* directory, std::uint64_t* size = nullptr);

// Loads the main file that readMainEntry read as a DLL, with directory on
// the DLL search list, and returns what its run_code returns, called with
// __argc and __wargv. Never returns on failure.
int runMainEntry(const wchar_t* directory);

#endif
