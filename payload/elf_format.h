// The layout of a 64-bit little-endian ELF file as far as a Linux package
// needs it: the file header's identification and the fields that lead to
// the section header table, and a section header's fields. No system
// headers: the launcher's section lookup (payload/elf_sections.h) and the
// packer's reader and writer of Linux packages share it.
#ifndef CORVELLINTH_PAYLOAD_ELF_FORMAT_H
#define CORVELLINTH_PAYLOAD_ELF_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace elf {

inline constexpr unsigned char kMagic[] = {0x7F, 'E', 'L', 'F'};
inline constexpr std::size_t kClassField = 4;   // EI_CLASS
inline constexpr std::size_t kDataField = 5;    // EI_DATA
inline constexpr std::size_t kVersionField = 6; // EI_VERSION
inline constexpr unsigned char kClass64 = 2;
inline constexpr unsigned char kLittleEndian = 1;
inline constexpr unsigned char kCurrentVersion = 1;

inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kTypeField = 16;             // e_type, u16
inline constexpr std::size_t kSectionTableField = 40;     // e_shoff, u64
inline constexpr std::size_t kSectionEntrySizeField = 58; // e_shentsize, u16
inline constexpr std::size_t kSectionCountField = 60;     // e_shnum, u16
inline constexpr std::size_t kNameTableField = 62;        // e_shstrndx, u16

inline constexpr std::size_t kSectionHeaderSize = 64;
inline constexpr std::size_t kSectionNameField = 0;    // sh_name, u32
inline constexpr std::size_t kSectionTypeField = 4;    // sh_type, u32
inline constexpr std::size_t kSectionOffsetField = 24; // sh_offset, u64
inline constexpr std::size_t kSectionSizeField = 32;   // sh_size, u64
inline constexpr std::size_t kSectionLinkField = 40;   // sh_link, u32

inline constexpr std::uint32_t kNullSection = 0;        // SHT_NULL: an inactive entry
inline constexpr std::uint32_t kProgramBits = 1;        // SHT_PROGBITS
inline constexpr std::uint32_t kStringTable = 3;        // SHT_STRTAB
inline constexpr std::uint32_t kNoBits = 8;             // SHT_NOBITS: no room in the file
inline constexpr std::uint32_t kExtendedIndex = 0xFFFF; // SHN_XINDEX

} // namespace elf

#endif
