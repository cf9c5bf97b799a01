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

#include "payload/attached_data.h"

// Parent role, once the attached data's header has been checked and before
// the reader exists. For a package with a cache record: holds its complete
// copy (making it when there is none or it is damaged), removes the other
// copies of the cache folder that are not in use, and runs the application
// from the copy in this process; returns true, with run_code's result in
// *exitCode. Returns false, with targetDirectory and the cleanup as the
// start-up left them, for a package without a record and whenever no copy
// can be used or made (a folder that cannot be written, a full disk, a
// damaged copy in use): the caller then unpacks into targetDirectory.
bool runFromCachedCopy(const AttachedData& data, int* exitCode);

// Child role: when the package is cached and the parent did not unpack
// into targetDirectory, points targetDirectory at the copy and holds it.
void useCachedCopyInChild();

// Set by a benchmark build only: the parent starts a child that runs the
// cached copy, as for a run directory, instead of running it itself.
extern bool runCachedCopyInChild;

#endif
