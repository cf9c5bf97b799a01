// Packages made with `onefile-pack --cache` unpack once into a copy in a
// cache folder (payload/cache_record.h says where and what it must hold)
// and run from that copy at every later start, without unpacking, for as
// long as it is complete.
//
// A new copy is unpacked into a directory of the cache folder named like a
// run directory, which the parent creates and owns as it owns a run
// directory (guard, delete at every ending), gets its marker last, and is
// then renamed to the key's digits in one step: nothing incomplete ever
// carries that name. Of two first starts at once, the one whose rename
// comes second deletes its own copy and uses the other's.
//
// Every process that runs from a copy holds its marker open for reading,
// sharing only reading, until it ends (the system closes it however the
// process ends). A copy is removed only by whoever opens the marker alone,
// which fails while anyone holds it; and while it is held alone, no one can
// start using the copy. So a copy in use is never removed, and one being
// removed is never used.
#ifndef CORVELLINTH_LAUNCHER_CACHE_H
#define CORVELLINTH_LAUNCHER_CACHE_H

#include <cstdint>

#include "payload/attached_data.h"

// Parent role, once the attached data's header has been checked and before
// the reader exists. For a package with a cache record: holds its complete
// copy (making it when there is none or it is damaged), removes the other
// copies of the cache folder that are not in use, and runs the application
// from the copy in this process; returns true, with run_code's result in
// *exitCode (runHeldCopy). Returns false, with the cleanup as the start-up
// left it, for a package without a record and whenever no copy can be used
// or made (a folder that cannot be written, a full disk, a
// damaged copy in use): the caller then unpacks into targetDirectory.
bool runFromCachedCopy(const AttachedData& data, int* exitCode);

// Child role: the directory to run from. targetDirectory, but when the
// package is cached and the parent did not unpack into targetDirectory, the
// copy, whose marker it then holds.
const wchar_t* directoryForChild();

// The held copy's directory, once runFromCachedCopy holds it.
const wchar_t* heldCopyDirectory();

// True when the package's listing holds a file of that name (relative to
// the copy) and size.
bool isListedFile(const wchar_t* name, std::uint64_t size);

// Runs the application from the held copy (launcher/held_copy.cpp): in
// this process, with the argument vector and variables that a child would
// get. Returns what its run_code returns. A benchmark's model links its own
// in its place (bench/cache_child_model.cpp).
int runHeldCopy(const AttachedData& data);

#endif
