// Reading a 64-bit little-endian ELF file (a Linux launcher or package)
// without the system's headers: the file header and the section header
// table with its names, every offset checked against the file before it is
// used. The Linux package writer builds on what this finds; --list uses it
// to find the attached data.
#ifndef CORVELLINTH_TOOLS_PACKER_ELF_IMAGE_H
#define CORVELLINTH_TOOLS_PACKER_ELF_IMAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payload/elf_format.h"
#include "tools/packer/byte_io.h"

namespace packer {

inline constexpr std::size_t kElfHeaderSize = elf::kHeaderSize;
inline constexpr std::size_t kElfSectionHeaderSize = elf::kSectionHeaderSize;
// Section numbers from here up are reserved: a table this long needs the
// extended numbering, which the packer neither reads nor writes.
inline constexpr std::uint32_t kElfReservedSections = 0xFF00;
inline constexpr std::uint32_t kElfNullSection = elf::kNullSection;
inline constexpr std::uint32_t kElfProgramBits = elf::kProgramBits;
inline constexpr std::uint32_t kElfStringTable = elf::kStringTable;
inline constexpr std::uint32_t kElfNoBits = elf::kNoBits;
// Offsets of the fields that the writer changes or reads.
inline constexpr std::size_t kElfFieldSectionTable = elf::kSectionTableField;
inline constexpr std::size_t kElfFieldSectionCount = elf::kSectionCountField;
inline constexpr std::size_t kElfFieldNameTable = elf::kNameTableField;
inline constexpr std::size_t kElfSectionFieldOffset = elf::kSectionOffsetField;
inline constexpr std::size_t kElfSectionFieldSize = elf::kSectionSizeField;

struct ElfSection {
    std::string raw;  // the 64 bytes of its header as they are in the file
    std::string name; // from the section-name table
    std::uint32_t type = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

struct ElfImage {
    std::uint64_t fileSize = 0;
    std::string header; // the 64 bytes of the file header
    std::uint64_t sectionTable = 0;
    std::uint16_t nameTableIndex = 0;
    std::vector<ElfSection> sections; // in table order, the null section first
    std::string nameTable;            // the section-name table's bytes
};

// True when source starts with the ELF magic: the packer then takes it for
// a Linux program rather than a Windows one.
bool hasElfMagic(const ByteSource& source);

// Reads file as a 64-bit little-endian ELF executable. Throws PackError
// with the reason when it is not one or is damaged: another class, byte
// order or type, no section header table or one outside the file, the
// extended section numbering, a section-name table that is missing, too
// large or not a string table, a section outside the file, a name outside
// the name table.
ElfImage readElfImage(const ByteSource& file);

// The section named name, when image has one.
std::optional<ElfSection> findElfSection(const ElfImage& image, std::string_view name);

} // namespace packer

#endif
