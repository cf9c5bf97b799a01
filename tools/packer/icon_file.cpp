#include "tools/packer/icon_file.h"

namespace packer {
namespace {

constexpr std::size_t kDirectorySize = 6;
constexpr std::size_t kFileEntrySize = 16;
constexpr std::uint16_t kIconType = 1;
constexpr std::uint32_t kBitmapHeaderSize = 40;
constexpr char kPngSignature[] = "\x89PNG\r\n\x1a\n";

[[noreturn]] void refuse(const std::string& reason) {
    throw PackError(reason);
}

bool isPng(const std::string& data) {
    return data.compare(0, sizeof(kPngSignature) - 1, kPngSignature) == 0;
}

bool isBitmap(const std::string& data) {
    return data.size() >= kBitmapHeaderSize && loadU32(data, 0) == kBitmapHeaderSize;
}

IconImage readImage(const ByteSource& file, const std::string& entry, std::size_t number) {
    IconImage image;
    image.width = static_cast<std::uint8_t>(entry[0]);
    image.height = static_cast<std::uint8_t>(entry[1]);
    image.colourCount = static_cast<std::uint8_t>(entry[2]);
    image.planes = loadU16(entry, 4);
    image.bitCount = loadU16(entry, 6);
    const std::uint32_t size = loadU32(entry, 8);
    const std::uint32_t offset = loadU32(entry, 12);
    const std::string name = "image " + std::to_string(number);
    if (size == 0) {
        refuse(name + " is empty");
    }
    if (std::uint64_t{offset} + size > file.size()) {
        refuse(name + " lies outside the file");
    }
    image.data = file.bytes(offset, size);
    if (!isPng(image.data) && !isBitmap(image.data)) {
        refuse(name + " is neither PNG nor a bitmap");
    }
    return image;
}

} // namespace

std::vector<IconImage> readIconFile(const ByteSource& file) {
    if (file.size() > kLargestIconFile) {
        refuse("it is larger than an icon file can be (16 MiB)");
    }
    if (file.size() < kDirectorySize) {
        refuse("it is too short for an icon file");
    }
    const std::string directory = file.bytes(0, kDirectorySize);
    const std::uint16_t count = loadU16(directory, 4);
    if (loadU16(directory, 0) != 0 || loadU16(directory, 2) != kIconType) {
        refuse("it is not an icon file (wrong header)");
    }
    if (count == 0) {
        refuse("it holds no images");
    }
    if (kDirectorySize + std::uint64_t{count} * kFileEntrySize > file.size()) {
        refuse("it is cut short inside its list of images");
    }
    const std::string entries = file.bytes(kDirectorySize, count * kFileEntrySize);
    std::vector<IconImage> images;
    for (std::size_t index = 0; index < count; ++index) {
        images.push_back(
            readImage(file, entries.substr(index * kFileEntrySize, kFileEntrySize), index + 1));
    }
    return images;
}

std::string iconGroupResource(const std::vector<IconImage>& images, std::uint16_t firstId) {
    std::string group;
    appendU16(group, 0);
    appendU16(group, kIconType);
    appendU16(group, static_cast<std::uint16_t>(images.size()));
    std::uint16_t id = firstId;
    for (const IconImage& image : images) {
        group.push_back(static_cast<char>(image.width));
        group.push_back(static_cast<char>(image.height));
        group.push_back(static_cast<char>(image.colourCount));
        group.push_back('\0');
        appendU16(group, image.planes);
        appendU16(group, image.bitCount);
        appendU32(group, static_cast<std::uint32_t>(image.data.size()));
        appendU16(group, id++);
    }
    return group;
}

} // namespace packer
