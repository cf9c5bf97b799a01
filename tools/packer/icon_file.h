// Icon files (.ico) and the resources that carry an icon in an executable:
// one RT_ICON per image and an RT_GROUP_ICON that lists them.
#ifndef CORVELLINTH_TOOLS_PACKER_ICON_FILE_H
#define CORVELLINTH_TOOLS_PACKER_ICON_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "tools/packer/byte_io.h"

namespace packer {

struct IconImage {
    std::uint8_t width = 0; // 0 means 256
    std::uint8_t height = 0;
    std::uint8_t colourCount = 0;
    std::uint16_t planes = 0;
    std::uint16_t bitCount = 0;
    std::string data; // a PNG file or a bitmap without its file header
};

inline constexpr std::uint64_t kLargestIconFile = 16u << 20;

// Reads every image of an icon file. Throws PackError with the reason when
// it is not one: a wrong header, no images, an image outside the file or
// empty, an image that is neither PNG nor a bitmap, a file over 16 MiB.
std::vector<IconImage> readIconFile(const ByteSource& file);

// The RT_GROUP_ICON resource for images stored as RT_ICON firstId,
// firstId + 1, ...
std::string iconGroupResource(const std::vector<IconImage>& images, std::uint16_t firstId);

} // namespace packer

#endif
