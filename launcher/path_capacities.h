// The room the launcher keeps for its own directories' paths, in code units
// with the terminator.
#ifndef CORVELLINTH_LAUNCHER_PATH_CAPACITIES_H
#define CORVELLINTH_LAUNCHER_PATH_CAPACITIES_H

#include <cstddef>

// A run directory's path (the expanded unpack spec) or a cache folder's.
inline constexpr std::size_t kTargetDirectoryCapacity = 4096;

// Room for a final path: the system may give the long form of a path that
// was built from short (8.3) names, so it can be longer than the path.
inline constexpr std::size_t kFinalPathCapacity = 8192;

#endif
