// Packages made with `onefile-pack --cache`, on Linux: unpacked once into a
// copy in a cache folder (payload/cache_record.h says where and what it
// must hold), by default $XDG_CACHE_HOME (else ~/.cache) /CorvellinthOnefile/
// <company>/<product>/<key>, and run from that copy at every later start
// for as long as it is complete.
//
// A new copy is unpacked into a run directory of the cache folder (locked
// and deleted at every ending as any run directory), gets its marker last,
// and is renamed to the key's digits in one step that never replaces
// anything (RENAME_NOREPLACE): nothing incomplete ever carries that name.
// Of several first starts at once, those whose rename comes later delete
// their own copy and use the winner's.
//
// Every process that runs from a copy holds a shared flock on its marker
// until it ends (the system lets go however the process ends). A copy is
// removed only by a start that takes the marker's lock exclusively, which
// fails while anyone holds it; and while it is held so, no one can start
// using the copy. The remover empties the marker, renames the copy to a run
// directory's name of its own (locked; a later sweep finishes a removal
// that was cut short) and deletes it.
//
// A later start checks the copy from its directory listing (fstatat: no
// file of the package is opened or read): every file and directory that
// the record lists must be there, each file with its size and with the
// inode change time (ctime) that the marker recorded when the copy was
// complete. A write changes a file's ctime, and unlike its modification
// time no one can set it back. Files the application added are ignored.
#ifndef CORVELLINTH_LAUNCHER_CACHE_LINUX_H
#define CORVELLINTH_LAUNCHER_CACHE_LINUX_H

#include "payload/attached_data.h"

// Parent role, once the attached data's header has been checked and before
// the reader exists. For a package with a cache record: holds its complete
// copy (making it when there is none or it is damaged), removes the other
// copies of the cache folder that are not in use, the directories of
// killed first starts and those of killed runs where the unpack spec puts
// them (launcher/sweep_linux.h), and runs the application from the copy in this
// process, with the signals and mask the launcher was started with;
// returns true, with run_code's result in *exitCode. Returns false, with
// the run directory's path as the start-up left it and nothing armed, for
// a package without a record and whenever no copy can be used or made (a
// folder that cannot be made or written, a full disk, a damaged copy in
// use): the caller then unpacks into a run directory.
bool runFromCachedCopy(const AttachedData& data, int* exitCode);

// Child role, when the parent made no run directory: for a cached package
// whose copy is there, points the run directory's path at the copy and
// holds it. False otherwise. Creates nothing.
bool useCachedCopyInChild();

// True for the name of a copy: exactly 32 lowercase hexadecimal digits.
bool isCopyName(const char* name);

enum class CopyWithoutMarker { keep, remove };

// Removes the copy name of the directory open as folder when it is not in
// use (see above). A copy without a marker is kept, or removed as it is.
// A marker that is not a plain file of this user with a single link is
// never written: the copy stays. True when the copy is gone.
bool removeUnusedCopy(int folder, const char* name, CopyWithoutMarker withoutMarker);

#endif
