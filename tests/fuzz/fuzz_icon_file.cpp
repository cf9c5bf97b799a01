// Arbitrary bytes as an icon file: refused with a one-line reason, or read
// into images that are exactly the bytes their entries name, each PNG or a
// bitmap, and listed by the group resource with their sizes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tools/packer/icon_file.h"

namespace {

std::uint32_t u32(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t index = 0; index < 4; ++index) {
        value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + index]))
                 << (8 * index);
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<packer::IconImage> images;
    try {
        images = packer::readIconFile(packer::MemorySource(input));
    } catch (const packer::PackError& failure) {
        const std::string message = failure.message();
        failWhen(message.empty() || message.find('\n') != std::string::npos, "bad refusal");
        return 0;
    }
    failWhen(images.empty(), "an icon without images");
    const std::string group = packer::iconGroupResource(images, 1);
    failWhen(group.size() != 6 + 14 * images.size(), "wrong group size");
    for (std::size_t index = 0; index < images.size(); ++index) {
        const std::size_t entry = 6 + 16 * index;
        const std::uint32_t bytes = u32(input, entry + 8);
        const std::uint32_t offset = u32(input, entry + 12);
        failWhen(images[index].data != input.substr(offset, bytes), "image bytes differ");
        const bool png = images[index].data.rfind("\x89PNG\r\n\x1a\n", 0) == 0;
        const bool bitmap = bytes >= 40 && u32(input, offset) == 40;
        failWhen(!png && !bitmap, "an image that is neither PNG nor a bitmap");
        failWhen(u32(group, 6 + 14 * index + 8) != bytes, "the group's size differs");
    }
    return 0;
}
