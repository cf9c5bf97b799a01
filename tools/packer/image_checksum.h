// The checksum field of a Windows executable's optional header: the sum of
// the file's 16-bit little-endian words with end-around carry, the
// checksum field itself left out, plus the file's length. Bytes may be
// added in any order and in pieces of any length; each is weighed by the
// parity of its file offset.
#ifndef CORVELLINTH_TOOLS_PACKER_IMAGE_CHECKSUM_H
#define CORVELLINTH_TOOLS_PACKER_IMAGE_CHECKSUM_H

#include <cstddef>
#include <cstdint>

namespace packer {

class ImageChecksum {
  public:
    // Adds size bytes that the file holds at offset.
    void add(std::uint64_t offset, const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        std::size_t index = 0;
        if (size != 0 && offset % 2 != 0) {
            high_ += bytes[index++];
        }
        for (; index + 1 < size; index += 2) {
            low_ += bytes[index];
            high_ += bytes[index + 1];
        }
        if (index < size) {
            low_ += bytes[index];
        }
    }

    // The field's value for a file of fileSize bytes whose every byte,
    // except the field's own four, has been added.
    std::uint32_t value(std::uint64_t fileSize) const {
        std::uint64_t sum = low_ + (high_ << 8);
        while ((sum >> 16) != 0) {
            sum = (sum & 0xFFFF) + (sum >> 16);
        }
        return static_cast<std::uint32_t>(sum + fileSize);
    }

  private:
    std::uint64_t low_ = 0;  // bytes at even offsets
    std::uint64_t high_ = 0; // bytes at odd offsets
};

} // namespace packer

#endif
