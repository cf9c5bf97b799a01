// Making the directories that unpacked files go into, remembering those
// made or found so that each costs one system call at most.
#ifndef CORVELLINTH_PATHS_DIRECTORIES_H
#define CORVELLINTH_PATHS_DIRECTORIES_H

#include <cstddef>

inline constexpr std::size_t kKnownDirectoriesLimit = 1024;

// True when path is remembered, is a drive designator ("D:"), was created,
// or already existed. The first call seeds the list with the home directory.
bool ensureDirectory(const wchar_t* path);

// Makes the directory that contains path exist, creating missing levels
// outermost first. Silent on failure: the caller's file creation reports it.
void ensureParentDirectories(const wchar_t* path);

// The remembered directories, for tests and diagnostics.
int knownDirectoryCount();
const wchar_t* knownDirectory(int index);

#endif
