#include "tests/native/support/elf_builder.h"

namespace native_support {
namespace {

constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kProgramHeaderSize = 56;
constexpr std::size_t kSectionHeaderSize = 64;

// Zero bytes up to the next multiple of 8, where sections and the table go.
void padToEight(std::string& bytes) {
    bytes.resize((bytes.size() + 7) / 8 * 8, '\0');
}

std::string fileHeader(const ElfSpec& spec, std::size_t sectionCount) {
    std::string header(kHeaderSize, '\0');
    header.replace(0, 7,
                   "\x7F"
                   "ELF\x02\x01\x01");
    setElfField(header, 16, 2, spec.type);
    setElfField(header, 18, 2, 62); // x86-64
    setElfField(header, 20, 4, 1);
    setElfField(header, 32, 8, kHeaderSize); // e_phoff
    setElfField(header, 52, 2, kHeaderSize);
    setElfField(header, 54, 2, kProgramHeaderSize);
    setElfField(header, 56, 2, 1);
    setElfField(header, 58, 2, kSectionHeaderSize);
    setElfField(header, kElfShnumField, 2, sectionCount);
    setElfField(header, kElfShstrndxField, 2, sectionCount - 1);
    return header;
}

// A PT_LOAD of the whole file's start, so that the file looks like one.
std::string programHeader() {
    std::string header(kProgramHeaderSize, '\0');
    setElfField(header, 0, 4, 1);
    setElfField(header, 4, 4, 5);
    setElfField(header, 32, 8, kHeaderSize + kProgramHeaderSize);
    setElfField(header, 40, 8, kHeaderSize + kProgramHeaderSize);
    setElfField(header, 48, 8, 0x1000);
    return header;
}

std::string sectionHeader(std::size_t name, const ElfSectionSpec& section, std::size_t offset) {
    std::string header(kSectionHeaderSize, '\0');
    setElfField(header, 0, 4, name);
    setElfField(header, 4, 4, section.type);
    setElfField(header, 8, 8, section.flags);
    setElfField(header, 24, 8, offset);
    setElfField(header, 32, 8, section.data.size());
    setElfField(header, 48, 8, 8);
    return header;
}

} // namespace

std::string buildElf(const ElfSpec& spec) {
    std::vector<ElfSectionSpec> sections = spec.sections;
    std::string names(1, '\0');
    std::vector<std::size_t> nameOffsets;
    for (const ElfSectionSpec& section : sections) {
        nameOffsets.push_back(names.size());
        names += section.name + '\0';
    }
    nameOffsets.push_back(names.size());
    names += std::string(".shstrtab") + '\0';
    sections.push_back({".shstrtab", names, 3, 0});

    std::string elf = fileHeader(spec, sections.size() + 1) + programHeader();
    std::string table(kSectionHeaderSize, '\0'); // the null section
    for (std::size_t index = 0; index < sections.size(); ++index) {
        padToEight(elf);
        table += sectionHeader(nameOffsets[index], sections[index], elf.size());
        elf += sections[index].data;
    }
    padToEight(elf);
    setElfField(elf, kElfShoffField, 8, elf.size());
    return elf + table;
}

std::uint64_t elfSectionTable(const std::string& elf) {
    return elfField(elf, kElfShoffField, 8);
}

std::uint64_t elfField(const std::string& bytes, std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t index = size; index > 0; --index) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + index - 1]);
    }
    return value;
}

void setElfField(std::string& bytes, std::size_t at, std::size_t size, std::uint64_t value) {
    for (std::size_t index = 0; index < size; ++index) {
        bytes[at + index] = static_cast<char>((value >> (8 * index)) & 0xFF);
    }
}

} // namespace native_support
