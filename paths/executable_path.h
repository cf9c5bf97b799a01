// The launcher's own executable path, plain and resolved, and the
// resolution applied to the parent's path in the role decision.
#ifndef CORVELLINTH_PATHS_EXECUTABLE_PATH_H
#define CORVELLINTH_PATHS_EXECUTABLE_PATH_H

#include <cstddef>

inline constexpr std::size_t kExecutablePathCapacity = 4097;
inline constexpr std::size_t kParentPathCapacity = 2048;

// A pointer into a process-wide cache, filled on the first call for each
// variant: plain (module file name, directory part short) or resolved
// (final path, extended-length prefix removed, directory part short).
// Failures end the process abnormally; a failed plain lookup gives "".
const wchar_t* getExecutablePath(bool resolved);

// Resolves the executable path in path (a buffer of capacity code units)
// in place. Ends the process abnormally when the file cannot be opened or
// its final path does not fit.
void resolveExecutablePath(wchar_t* path, std::size_t capacity);

// Replaces everything before the last backslash by its short form, keeping
// the last component; a text without backslash is shortened whole. Left
// unchanged when the system has no short form.
void shortenDirectoryPart(wchar_t* path, std::size_t capacity);

#endif
