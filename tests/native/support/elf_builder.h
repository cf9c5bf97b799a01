// Small 64-bit ELF files made byte by byte, apart from the packer's reader
// and writer, for the native tests and fuzz seeds of the Linux package
// code: a file header, one program header, any sections, the section-name
// table and the section header table last, as a linker lays them out.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_ELF_BUILDER_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_ELF_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace native_support {

struct ElfSectionSpec {
    std::string name;
    std::string data;
    std::uint32_t type = 1;  // SHT_PROGBITS
    std::uint64_t flags = 2; // SHF_ALLOC
};

struct ElfSpec {
    std::vector<ElfSectionSpec> sections; // after the null section
    std::uint16_t type = 3;               // ET_DYN
};

// Section data at 8-byte offsets after the headers, then ".shstrtab" (the
// last section), then the section header table.
std::string buildElf(const ElfSpec& spec);

// Offsets in a file that buildElf made, for damaging it on purpose.
inline constexpr std::size_t kElfShoffField = 40;
inline constexpr std::size_t kElfShnumField = 60;
inline constexpr std::size_t kElfShstrndxField = 62;
std::uint64_t elfSectionTable(const std::string& elf);
std::uint64_t elfField(const std::string& bytes, std::size_t at, std::size_t size);
void setElfField(std::string& bytes, std::size_t at, std::size_t size, std::uint64_t value);

} // namespace native_support

#endif
