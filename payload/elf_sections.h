// Finding named sections of a 64-bit little-endian ELF file through its
// section header table, as a Linux package carries its attached data: in
// sections that are not loaded, so only the section headers lead to them.
// The file is read through a caller's function (pread on Linux, a buffer in
// the tests and the fuzz target): no system headers.
#ifndef CORVELLINTH_PAYLOAD_ELF_SECTIONS_H
#define CORVELLINTH_PAYLOAD_ELF_SECTIONS_H

#include <cstddef>
#include <cstdint>

namespace elf {

// Reads exactly size bytes at offset into destination; false when it cannot.
using ReadAt = bool (*)(void* context, std::uint64_t offset, void* destination, std::size_t size);

struct File {
    ReadAt read;
    void* context;
    std::uint64_t size; // of the whole file
};

struct Section {
    bool present;
    std::uint64_t offset; // in the file
    std::uint64_t size;
};

inline constexpr std::size_t kLongestSectionName = 63; // bytes, the terminator not counted

// Looks up the sections named names[0] to names[count - 1] (each at most
// kLongestSectionName bytes). found[i] is the first section of that name
// whose contents lie in the file (any type but SHT_NULL and SHT_NOBITS), or not present
// when there is none. Returns false when the file is not a 64-bit
// little-endian ELF file or its section header table or name table does not
// lie in the file or cannot be read; nothing is present then.
bool findSections(const File& file, const char* const* names, std::size_t count, Section* found);

} // namespace elf

#endif
