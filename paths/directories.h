// Making the directories that unpacked files go into, remembering those
// made or found so that each costs one system call at most.
#ifndef CORVELLINTH_PATHS_DIRECTORIES_H
#define CORVELLINTH_PATHS_DIRECTORIES_H

#include <cstddef>

inline constexpr std::size_t kKnownDirectoriesLimit = 1024;

// True when path is remembered, is a drive designator ("D:"), was created,
// or already existed. The first call seeds the list with the home directory.
// A path of 248 code units or more goes to the system in the extended-length
// form; the list keeps it as given.
bool ensureDirectory(const wchar_t* path);

// Makes the directory that contains path exist, creating missing levels
// outermost first. Paths of 248 code units or more go to the system in the
// extended-length form. Silent when a directory cannot be made (the
// caller's file creation reports it); false only when more than 128 levels
// are missing in a row, which it refuses rather than recurse that deep.
bool ensureParentDirectories(const wchar_t* path);

enum class NewDirectory {
    created,       // made by this call, and remembered
    alreadyExists, // something of that name was there: not made here
    failed,        // could not be made for another reason
};

// Makes path's missing parents, then path itself, which must be new.
NewDirectory createNewDirectory(const wchar_t* path);

// Forgets every remembered directory (the home directory is remembered
// again at the next ensureDirectory): for a directory tree that has been
// deleted or moved, so that its paths are asked for afresh.
void forgetKnownDirectories();

// The remembered directories, for tests and diagnostics.
int knownDirectoryCount();
const wchar_t* knownDirectory(int index);

#endif
