// What the unpack spec's placeholders ask of the system, one implementation
// per system (spec_values_windows.cpp, spec_values_linux.cpp). Each appends
// at the end of output under the bounds of paths/bounded_text.h: a value
// that does not fit ends the process abnormally unless it says otherwise.
#ifndef CORVELLINTH_PATHS_SPEC_VALUES_H
#define CORVELLINTH_PATHS_SPEC_VALUES_H

#include <cstddef>

#include "paths/path_text.h"

// {TEMP}: the directory for temporary files. Adds nothing when the system
// cannot deliver it or it does not fit (not a failure).
void appendTemporaryDirectory(PathText* output);

enum class UserFolder {
    home,  // {HOME}
    cache, // {CACHE_DIR}: local application data, or the cache directory
};

// {HOME} and {CACHE_DIR}: false when the system has no such folder.
[[nodiscard]] bool appendUserFolder(PathText* output, UserFolder folder);

// {PROGRAM}: the program as invoked (element 0 of the argument vector).
// Ends abnormally when there is none.
void appendProgram(PathText* output);

// True for a code unit that the process id's digit check accepts.
bool isProcessIdDigit(PathUnit unit);

inline constexpr std::size_t kStartTimeCapacity = 1024;

// The current time as a decimal count of 100-nanosecond intervals since
// 1601-01-01 UTC ("%lld" of the signed count), into text (capacity code
// units, always terminated).
void formatCurrentTime(PathUnit* text, std::size_t capacity);

#endif
