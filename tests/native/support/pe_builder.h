// Small 64-bit Windows executables made byte by byte, apart from the
// packer's writer, for the native tests and fuzz seeds of its reader: any
// sections, a resource section, base relocations, tight or roomy headers.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_PE_BUILDER_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_PE_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace native_support {

struct SectionSpec {
    std::string name;
    std::string data;               // the raw data; padded to the file alignment
    std::uint32_t extraVirtual = 0; // virtual size beyond the data
    std::uint32_t characteristics = 0x40000040;
};

struct ImageSpec {
    std::vector<SectionSpec> sections;
    int resourceSection = -1;   // index, or -1 for none
    int relocationSection = -1; // index, or -1 for none
    std::uint32_t sizeOfHeaders = 0x400;
    std::uint32_t firstAddress = 0x1000; // of the first section
};

inline constexpr std::uint32_t kBuilderPeOffset = 0x80;
inline constexpr std::uint32_t kBuilderSectionTable = kBuilderPeOffset + 24 + 240;

// Sections follow one another in memory (page-aligned) and in the file
// (512-byte aligned). The checksum field is left 0.
std::string buildImage(const ImageSpec& spec);

// The address that buildImage gives section index of spec.
std::uint32_t sectionAddress(const ImageSpec& spec, std::size_t index);

// A resource tree holding one resource, type/name/language as numbers, its
// data inside the tree, for a section at address.
std::string oneResourceTree(std::uint32_t address, std::uint16_t type, std::uint16_t name,
                            std::uint16_t language, const std::string& data);

// The checksum of a whole executable, computed the plain way: every 16-bit
// word but the field's own (found through e_lfanew), folded at each step,
// plus the length.
std::uint32_t plainChecksum(const std::string& executable);

} // namespace native_support

#endif
