// Reads the entries of attached data back: the check behind --list.
#ifndef CORVELLINTH_TOOLS_PACKER_ENTRY_LISTING_H
#define CORVELLINTH_TOOLS_PACKER_ENTRY_LISTING_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/packer/byte_io.h"

namespace packer {

struct ListedEntry {
    std::u16string name;
    std::uint64_t size = 0;
};

// Checks the header, decompresses the frame in pieces and walks the entry
// stream, returning every entry in stream order. Throws PackError saying
// what is damaged: header, frame (zstd's own reason), an entry cut short, a
// name of 1024 code units or more or one that the launcher refuses, or
// bytes after the end marker. The attached data is the size bytes of
// source from offset; memory use does not depend on its size.
std::vector<ListedEntry> listAttachedEntries(const ByteSource& source, std::uint64_t offset,
                                             std::uint64_t size);
std::vector<ListedEntry> listAttachedEntries(std::string_view attachedData);

} // namespace packer

#endif
