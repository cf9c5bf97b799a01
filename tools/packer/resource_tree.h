// The resource tree of a Windows executable: three levels of directories
// (type, name, language) over data entries. Read from a launcher, and laid
// out afresh for the packaged executable's new resource section.
#ifndef CORVELLINTH_TOOLS_PACKER_RESOURCE_TREE_H
#define CORVELLINTH_TOOLS_PACKER_RESOURCE_TREE_H

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/packer/byte_io.h"

namespace packer {

// A type, name or language: a number or a string. Named keys sort first,
// by code unit, then numbered ones by value, as the tree must be ordered.
struct ResourceKey {
    bool named = false;
    std::uint16_t id = 0;
    std::u16string name;

    static ResourceKey number(std::uint16_t value) { return {false, value, {}}; }
    std::strong_ordering operator<=>(const ResourceKey& other) const;
    bool operator==(const ResourceKey& other) const = default;
    std::string describe() const; // "27" or "\"NAME\"", for messages
};

inline constexpr std::uint16_t kTypeIcon = 3;
inline constexpr std::uint16_t kTypeRcData = 10;
inline constexpr std::uint16_t kTypeGroupIcon = 14;
inline constexpr std::uint16_t kTypeVersion = 16;

// A resource found in a file: where its bytes are.
struct ResourceEntry {
    ResourceKey type;
    ResourceKey name;
    ResourceKey language;
    std::uint32_t codePage = 0;
    std::uint64_t fileOffset = 0;
    std::uint32_t size = 0;
};

// A resource to write, with its bytes.
struct ResourceItem {
    ResourceKey type;
    ResourceKey name;
    ResourceKey language;
    std::uint32_t codePage = 0;
    std::string data;
};

// Resource trees larger than this are refused as damaged: no real program
// has that many resources, and the tree's entries may point at each other.
inline constexpr std::size_t kMaximumResources = 65536;
inline constexpr std::size_t kMaximumTreeEntries = 1 << 20;

// Translates a data entry's address and size into a file offset, or nothing
// when the bytes are not all in the file.
using AddressToOffset = std::function<std::optional<std::uint64_t>(std::uint32_t, std::uint32_t)>;

// Reads the tree that starts at file offset `start` and may use `limit`
// bytes from there. Throws PackError saying what is damaged: an offset
// outside the limit, a level of the wrong kind, data outside the file, too
// many entries.
std::vector<ResourceEntry> readResourceTree(const ByteSource& file, std::uint64_t start,
                                            std::uint32_t limit, const AddressToOffset& locate);

// A resource section laid out: directories, data entries, names, then every
// item's data (8-byte aligned), and last the streamed item's data.
struct ResourceSectionLayout {
    // Where an item's data lies in head.
    struct Placed {
        ResourceKey type;
        ResourceKey name;
        ResourceKey language;
        std::uint32_t offset = 0;
        std::uint32_t size = 0;
    };

    std::string head;                    // everything before the streamed data
    std::uint32_t streamedOffset = 0;    // where the streamed data starts (= head.size())
    std::uint32_t streamedSizeField = 0; // offset in head of its data entry's size
    std::vector<Placed> placed;          // every item but the streamed one
};

// Lays out items and, last, one item whose data follows later (its size is
// written as 0 and patched by the caller), for a section at `address`.
// Items must not repeat a (type, name, language). Throws PackError when the
// section would exceed the format's 32-bit offsets.
ResourceSectionLayout layOutResourceSection(std::vector<ResourceItem> items,
                                            const ResourceItem& streamed, std::uint32_t address);

} // namespace packer

#endif
