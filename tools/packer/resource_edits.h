// The resources of a packaged executable: the launcher's, with the icon or
// the version record replaced when the user gives new ones, and without
// any attached data or cache record the launcher itself may carry (a
// package given as the launcher): those belong to the new package alone.
#ifndef CORVELLINTH_TOOLS_PACKER_RESOURCE_EDITS_H
#define CORVELLINTH_TOOLS_PACKER_RESOURCE_EDITS_H

#include <optional>
#include <string>
#include <vector>

#include "tools/packer/byte_io.h"
#include "tools/packer/icon_file.h"
#include "tools/packer/pe_image.h"
#include "tools/packer/resource_tree.h"

namespace packer {

struct ResourceEdits {
    std::vector<IconImage> icon;              // non-empty: replaces every icon and icon group
    std::optional<std::string> versionRecord; // replaces every version record
    std::optional<std::string> cacheRecord;   // RCDATA 28: the package is cached
};

// The launcher's resources carried over are held in memory; more than this
// is not a launcher.
inline constexpr std::uint64_t kLargestCarriedResources = 64u << 20;

// The resources to write, their bytes read from launcher. A replaced kind
// keeps the language of the launcher's first resource of that kind (US
// English when it had none); the new icon group keeps the old group's name.
// Throws PackError when the launcher's resources exceed 64 MiB or cannot
// be read.
std::vector<ResourceItem> editResources(const ByteSource& launcher, const PeImage& image,
                                        const ResourceEdits& edits);

} // namespace packer

#endif
