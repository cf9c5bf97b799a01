// The section header table is read in batches through a fixed buffer, and
// the section name table in one piece when it is small (it is for the
// launcher), so a lookup costs a handful of reads whatever the file.
#include "payload/elf_sections.h"

#include <string.h>

#include "payload/elf_format.h"
#include "payload/record_fields.h"

namespace elf {
namespace {

using record_fields::loadLittleEndian;

constexpr std::size_t kBatch = 64; // section headers per read
constexpr std::size_t kWholeNameTable = 4096;
constexpr std::size_t kNameRead = kLongestSectionName + 1;

// True when [offset, offset + size) lies in the file; no sum can wrap.
bool liesInFile(const File& file, std::uint64_t offset, std::uint64_t size) {
    return offset <= file.size && size <= file.size - offset;
}

struct SectionHeader {
    std::uint32_t name;
    std::uint32_t type;
    std::uint32_t link;
    std::uint64_t offset;
    std::uint64_t size;
};

SectionHeader decodeSectionHeader(const unsigned char* bytes) {
    return {static_cast<std::uint32_t>(loadLittleEndian(bytes + kSectionNameField, 4)),
            static_cast<std::uint32_t>(loadLittleEndian(bytes + kSectionTypeField, 4)),
            static_cast<std::uint32_t>(loadLittleEndian(bytes + kSectionLinkField, 4)),
            loadLittleEndian(bytes + kSectionOffsetField, 8),
            loadLittleEndian(bytes + kSectionSizeField, 8)};
}

bool readSectionHeader(const File& file, std::uint64_t tableOffset, std::uint64_t index,
                       SectionHeader* header) {
    unsigned char bytes[kSectionHeaderSize];
    if (!file.read(file.context, tableOffset + index * kSectionHeaderSize, bytes, sizeof(bytes))) {
        return false;
    }
    *header = decodeSectionHeader(bytes);
    return true;
}

struct SectionTable {
    std::uint64_t offset;
    std::uint64_t count;
    std::uint64_t nameTableIndex;
};

// The table's place, its length and the name table's index, with ELF's
// extended numbering (both kept in section 0 when they do not fit 16 bits).
bool readSectionTable(const File& file, SectionTable* table) {
    unsigned char header[kHeaderSize];
    if (file.size < kHeaderSize || !file.read(file.context, 0, header, sizeof(header)) ||
        memcmp(header, kMagic, sizeof(kMagic)) != 0 || header[kClassField] != kClass64 ||
        header[kDataField] != kLittleEndian || header[kVersionField] != kCurrentVersion ||
        loadLittleEndian(header + kSectionEntrySizeField, 2) != kSectionHeaderSize) {
        return false;
    }
    table->offset = loadLittleEndian(header + kSectionTableField, 8);
    table->count = loadLittleEndian(header + kSectionCountField, 2);
    table->nameTableIndex = loadLittleEndian(header + kNameTableField, 2);
    if (table->offset == 0 || !liesInFile(file, table->offset, kSectionHeaderSize)) {
        return false;
    }
    if (table->count == 0 || table->nameTableIndex == kExtendedIndex) {
        SectionHeader first{};
        if (!readSectionHeader(file, table->offset, 0, &first)) {
            return false;
        }
        table->count = table->count == 0 ? first.size : table->count;
        table->nameTableIndex =
            table->nameTableIndex == kExtendedIndex ? first.link : table->nameTableIndex;
    }
    return table->count <= (file.size - table->offset) / kSectionHeaderSize &&
           table->nameTableIndex < table->count;
}

// The section name table, held whole when it is small, else read name by
// name.
struct NameTable {
    const File* file;
    std::uint64_t offset;
    std::uint64_t size;
    bool held;
    unsigned char bytes[kWholeNameTable];
};

bool openNameTable(const File& file, const SectionTable& table, NameTable* names) {
    SectionHeader header{};
    if (!readSectionHeader(file, table.offset, table.nameTableIndex, &header) ||
        header.type == kNoBits || !liesInFile(file, header.offset, header.size)) {
        return false;
    }
    names->file = &file;
    names->offset = header.offset;
    names->size = header.size;
    names->held = header.size <= kWholeNameTable;
    return !names->held || file.read(file.context, header.offset, names->bytes,
                                     static_cast<std::size_t>(header.size));
}

// The name at offset at, as far as kNameRead bytes go, into name (kNameRead
// + 1 bytes, always terminated). False when it cannot be read.
bool readSectionName(const NameTable& names, std::uint32_t at, char* name) {
    memset(name, 0, kNameRead + 1);
    if (at >= names.size) {
        return false;
    }
    const std::uint64_t left = names.size - at;
    const auto length = static_cast<std::size_t>(left < kNameRead ? left : kNameRead);
    if (names.held) {
        memcpy(name, names.bytes + at, length);
        return true;
    }
    return names.file->read(names.file->context, names.offset + at, name, length);
}

void matchSection(const NameTable& names, const SectionHeader& header, const char* const* wanted,
                  std::size_t count, Section* found) {
    if (header.type == kNullSection || header.type == kNoBits ||
        !liesInFile(*names.file, header.offset, header.size)) {
        return;
    }
    char name[kNameRead + 1];
    if (!readSectionName(names, header.name, name)) {
        return;
    }
    for (std::size_t index = 0; index < count; ++index) {
        // The name read is cut at kNameRead bytes: a longer name in the file
        // is never taken for a wanted one, whose terminator lies within.
        if (!found[index].present && strnlen(wanted[index], kNameRead) <= kLongestSectionName &&
            strcmp(name, wanted[index]) == 0) {
            found[index] = {true, header.offset, header.size};
        }
    }
}

} // namespace

bool findSections(const File& file, const char* const* names, std::size_t count, Section* found) {
    for (std::size_t index = 0; index < count; ++index) {
        found[index] = {};
    }
    SectionTable table{};
    NameTable nameTable{};
    if (!readSectionTable(file, &table) || !openNameTable(file, table, &nameTable)) {
        return false;
    }
    unsigned char batch[kBatch * kSectionHeaderSize];
    for (std::uint64_t first = 0; first < table.count; first += kBatch) {
        const std::uint64_t left = table.count - first;
        const auto inBatch = static_cast<std::size_t>(left < kBatch ? left : kBatch);
        if (!file.read(file.context, table.offset + first * kSectionHeaderSize, batch,
                       inBatch * kSectionHeaderSize)) {
            for (std::size_t index = 0; index < count; ++index) {
                found[index] = {};
            }
            return false;
        }
        for (std::size_t index = 0; index < inBatch; ++index) {
            matchSection(nameTable, decodeSectionHeader(batch + index * kSectionHeaderSize), names,
                         count, found);
        }
    }
    return true;
}

} // namespace elf
