// A copy in a cache folder as the cache (launcher/cache.h) and the sweep
// (launcher/sweep.h) both know it: its name, its marker's path, and its
// removal when no one uses it.
#ifndef CORVELLINTH_LAUNCHER_CACHE_COPY_H
#define CORVELLINTH_LAUNCHER_CACHE_COPY_H

#include <cstddef>

#include "launcher/path_capacities.h"
#include "paths/extended_path.h"

// A cache folder's or a copy's path in the extended-length form.
inline constexpr std::size_t kCopySystemPathCapacity =
    kTargetDirectoryCapacity + kExtendedPrefixGrowth;

// True for the name of a copy: exactly 32 lowercase hexadecimal digits.
bool isCopyName(const wchar_t* name);

// directory's marker in the extended-length form, in buffer
// (kCopySystemPathCapacity code units); false when it does not fit.
bool formMarkerPath(const wchar_t* directory, wchar_t* buffer);

enum class CopyWithoutMarker { keep, remove };

// Removes the copy at path (extended-length form), whose final path
// (already checked to be where path says) is finalPath, when it is not in
// use: takes its marker alone, deletes everything else, then the marker,
// then the directory. A copy without a marker is kept, or deleted as it
// is. True when the copy is gone.
bool removeUnusedCopy(const wchar_t* path, const wchar_t* finalPath,
                      CopyWithoutMarker withoutMarker);

#endif
