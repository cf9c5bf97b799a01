#include "tools/packer/elf_image.h"

#include <algorithm>

namespace packer {
namespace {

using elf::kClass64;
using elf::kClassField;
using elf::kCurrentVersion;
using elf::kDataField;
using elf::kLittleEndian;
using elf::kMagic;
using elf::kSectionEntrySizeField;
using elf::kTypeField;
using elf::kVersionField;
constexpr std::uint16_t kTypeExecutable = 2; // ET_EXEC
constexpr std::uint16_t kTypeShared = 3;     // ET_DYN: position-independent executables too
// The name table is held in memory; a launcher's is a few hundred bytes.
constexpr std::uint64_t kLargestNameTable = 1u << 20;

[[noreturn]] void refuse(const std::string& reason) {
    throw PackError(reason);
}

bool fitsInFile(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

void readFileHeader(const ByteSource& file, ElfImage* image) {
    if (!hasElfMagic(file)) {
        refuse("it is not a Linux program (no ELF header at its start)");
    }
    if (file.size() < kElfHeaderSize) {
        refuse("it is cut short inside its ELF header");
    }
    image->header = file.bytes(0, kElfHeaderSize);
    const std::string& header = image->header;
    if (static_cast<unsigned char>(header[kClassField]) != kClass64) {
        refuse("it is not a 64-bit ELF file");
    }
    if (static_cast<unsigned char>(header[kDataField]) != kLittleEndian) {
        refuse("it is not a little-endian ELF file");
    }
    if (static_cast<unsigned char>(header[kVersionField]) != kCurrentVersion) {
        refuse("its ELF version is not 1");
    }
    const std::uint16_t type = loadU16(header, kTypeField);
    if (type != kTypeExecutable && type != kTypeShared) {
        refuse("it is not an executable (ELF type " + std::to_string(type) + ")");
    }
}

void readSectionTable(const ByteSource& file, ElfImage* image) {
    const std::string& header = image->header;
    image->sectionTable = loadU64(header, kElfFieldSectionTable);
    const std::uint16_t count = loadU16(header, kElfFieldSectionCount);
    image->nameTableIndex = loadU16(header, kElfFieldNameTable);
    if (image->sectionTable == 0 || count == 0) {
        refuse("it has no section header table (or uses the extended section numbering)");
    }
    if (count >= kElfReservedSections) {
        refuse("it has " + std::to_string(count) + " sections (at most " +
               std::to_string(kElfReservedSections - 1) + ")");
    }
    if (loadU16(header, kSectionEntrySizeField) != kElfSectionHeaderSize) {
        refuse("its section headers are not of 64 bytes");
    }
    if (!fitsInFile(image->sectionTable, std::uint64_t{count} * kElfSectionHeaderSize,
                    image->fileSize)) {
        refuse("its section header table lies outside the file");
    }
    const std::string table = file.bytes(image->sectionTable, count * kElfSectionHeaderSize);
    for (std::size_t index = 0; index < count; ++index) {
        ElfSection section;
        section.raw = table.substr(index * kElfSectionHeaderSize, kElfSectionHeaderSize);
        section.type = loadU32(section.raw, elf::kSectionTypeField);
        section.offset = loadU64(section.raw, kElfSectionFieldOffset);
        section.size = loadU64(section.raw, kElfSectionFieldSize);
        const bool hasBytes = section.type != kElfNullSection && section.type != kElfNoBits;
        if (hasBytes && !fitsInFile(section.offset, section.size, image->fileSize)) {
            refuse("its section " + std::to_string(index) + " lies outside the file");
        }
        image->sections.push_back(std::move(section));
    }
}

void readSectionNames(const ByteSource& file, ElfImage* image) {
    if (image->nameTableIndex == 0 || image->nameTableIndex >= image->sections.size()) {
        refuse("it has no section-name table (index " + std::to_string(image->nameTableIndex) +
               ")");
    }
    const ElfSection& names = image->sections[image->nameTableIndex];
    if (names.type != kElfStringTable) {
        refuse("its section-name table is not a string table");
    }
    if (names.size > kLargestNameTable) {
        refuse("its section-name table is larger than 1 MiB");
    }
    image->nameTable = file.bytes(names.offset, static_cast<std::size_t>(names.size));
    for (std::size_t index = 0; index < image->sections.size(); ++index) {
        ElfSection& section = image->sections[index];
        const std::uint32_t start = loadU32(section.raw, 0);
        const std::size_t end = start < image->nameTable.size() ? image->nameTable.find('\0', start)
                                                                : std::string::npos;
        if (end == std::string::npos) {
            refuse("the name of its section " + std::to_string(index) +
                   " lies outside the section-name table");
        }
        section.name = image->nameTable.substr(start, end - start);
    }
}

} // namespace

bool hasElfMagic(const ByteSource& source) {
    return source.size() >= sizeof(kMagic) &&
           source.bytes(0, sizeof(kMagic)) ==
               std::string_view(reinterpret_cast<const char*>(kMagic), sizeof(kMagic));
}

ElfImage readElfImage(const ByteSource& file) {
    ElfImage image;
    image.fileSize = file.size();
    readFileHeader(file, &image);
    readSectionTable(file, &image);
    readSectionNames(file, &image);
    return image;
}

std::optional<ElfSection> findElfSection(const ElfImage& image, std::string_view name) {
    const auto found =
        std::find_if(image.sections.begin(), image.sections.end(),
                     [name](const ElfSection& section) { return section.name == name; });
    if (found == image.sections.end()) {
        return std::nullopt;
    }
    return *found;
}

} // namespace packer
