// The run directory on Linux: where it goes, its creation by the parent,
// and its delete.
//
// It goes where the unpack spec says ({TEMP}/CorvellinthOnefile/...), or,
// when that place cannot run code (a temporary directory mounted noexec) or
// cannot be used safely, beside the user's cache
// ({CACHE_DIR}/CorvellinthOnefile/...). A place is used only when the
// directory that holds run directories, and the one above it, are real
// directories (the last not a link) that nobody but this user and root can
// change: owned by one of them, and sticky when others may write there (as
// /tmp is). Another user could otherwise swap a run directory for one of
// their own while the application loads from it.
//
// The parent holds an exclusive flock on the run directory itself for the
// whole run (the sweep, launcher/sweep_linux.h, deletes only what it can
// lock): nothing is added to the directory for it, the descriptor is not
// inherited by programs that the application starts, and the forked child
// closes its copy, so that only the parent's end lets go of the lock.
//
// Everything below the run directory is reached through descriptors opened
// without following links (launcher/tree_delete_linux.h).
#ifndef CORVELLINTH_LAUNCHER_RUN_DIRECTORY_LINUX_H
#define CORVELLINTH_LAUNCHER_RUN_DIRECTORY_LINUX_H

#include <cstddef>

inline constexpr std::size_t kRunPathCapacity = 4096; // bytes, terminator included

// Expands the unpack spec into the run directory's path. False when it
// cannot be expanded (the caller reports the spec failure).
bool expandRunDirectory();

// Parent only, before anything is written: creates the run directory (its
// missing places first) in the first place that can be used. When
// something of its name is already there, ends with "Error, target
// directory '<path>' already exists." and exit code 2, having written and
// deleted nothing; when no place can be used, with the message that names
// both. From then on every ending of the process deletes it.
void createRunDirectory();

// Opens the directory at path, making it and its missing parents first
// when asked, when it could hold run directories by the rules above; -1
// otherwise.
int openUsableDirectory(char* path, bool make);

// Parent, for a cached package's new copy: creates the run directory,
// named as expandRunDirectory named it, in the directory open as place
// (whose path is placePath) instead, locked and deleted at every ending
// as createRunDirectory's. False when it cannot, with nothing made and the
// path back as expandRunDirectory gives it.
bool createRunDirectoryIn(int place, const char* placePath);

// Opens, without making it, the directory where the unpack spec puts run
// directories, when it can be used; -1 otherwise.
int openRunPlace();

// Child role (a second start from within the application): opens the run
// directory that the parent made, found by the same rules and owned by
// this user, without creating anything. False when there is none.
bool findRunDirectory();

// The run directory's path, and a descriptor of it (-1 before it is made
// or found).
const char* runDirectoryPath();
int runDirectoryDescriptor();

// The run directory's name (its last component), and a descriptor of the
// directory that holds it (-1 before it is made).
const char* runDirectoryName();
int runPlaceDescriptor();

// Points the run directory's path elsewhere (a cached copy's), for the
// application's paths; nothing is made or deleted there. False when it
// does not fit.
bool setRunDirectoryPath(const char* path);

// When this process created the run directory: deletes it, everything in
// it first (launcher/tree_delete_linux.h), in up to three attempts while
// something is still added to it. Reports nothing; never runs twice.
void deleteRunDirectory();

// Forked child, or a parent whose new cached copy has taken the copy's
// name: closes the descriptors (the lock goes with the last of them) and
// forgets the directory, which it then never deletes.
void leaveRunDirectory();

#endif
