#include "tools/packer/linux_package.h"

#include <stdexcept>

#include "payload/cache_record.h"
#include "payload/exec_modes.h"
#include "payload/format.h"
#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::size_t kCopyPiece = 1 << 20;
constexpr char kAddedPrefix[] = ".onefile";
constexpr std::size_t kMostAdded = 3;
// sh_name, sh_type, sh_flags, sh_addr, sh_offset, sh_size, sh_addralign.
constexpr std::size_t kFieldName = 0;
constexpr std::size_t kFieldType = 4;
constexpr std::size_t kFieldAlignment = 48;

// A section of bytes that are not loaded: flags and address 0.
std::string addedSectionHeader(std::uint32_t name, std::uint64_t offset, std::uint64_t size) {
    std::string header(kElfSectionHeaderSize, '\0');
    storeU32(header, kFieldName, name);
    storeU32(header, kFieldType, kElfProgramBits);
    storeU64(header, kElfSectionFieldOffset, offset);
    storeU64(header, kElfSectionFieldSize, size);
    storeU64(header, kFieldAlignment, kLinuxSectionAlignment);
    return header;
}

} // namespace

std::string executableEntriesRecord(const std::vector<std::uint32_t>& indices) {
    std::string record(reinterpret_cast<const char*>(exec_modes::kMagic),
                       sizeof(exec_modes::kMagic));
    appendU16(record, exec_modes::kVersion);
    appendU16(record, 0);
    appendU32(record, static_cast<std::uint32_t>(indices.size()));
    for (std::size_t position = 0; position < indices.size(); ++position) {
        if (position > 0 && indices[position - 1] >= indices[position]) {
            throw std::invalid_argument("executable entries must be strictly ascending");
        }
        appendU32(record, indices[position]);
    }
    return record;
}

std::vector<bool> readExecutableEntries(const ByteSource& source, const ElfImage& image,
                                        std::size_t entryCount) {
    std::vector<bool> executable(entryCount, false);
    const std::optional<ElfSection> section = findElfSection(image, exec_modes::kSectionName);
    if (!section) {
        return executable;
    }
    // Indices are ascending and below entryCount: a longer record is damaged
    // without being read.
    const std::uint64_t largest = exec_modes::kFixedSize + exec_modes::kIndexSize * entryCount;
    const std::string bytes =
        section->size <= largest ? source.bytes(section->offset, section->size) : std::string();
    exec_modes::Record record{};
    if (!exec_modes::parseRecord(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                 &record) ||
        !exec_modes::fitsEntries(record, entryCount)) {
        throw PackError("its executable-entries record (section " +
                        std::string(exec_modes::kSectionName) + ") is damaged");
    }
    for (std::size_t position = 0; position < record.count; ++position) {
        executable[exec_modes::indexAt(record, position)] = true;
    }
    return executable;
}

void checkUnpackedLauncher(const ElfImage& image) {
    for (const ElfSection& section : image.sections) {
        if (section.name.rfind(kAddedPrefix, 0) == 0) {
            throw PackError("it is a package already (it has a section '" + oneLine(section.name) +
                            "')");
        }
    }
}

LinuxPackageWriter::LinuxPackageWriter(const ByteSource& launcher, const ElfImage& image,
                                       std::string executableEntries, OutputSink& output)
    : image_(image), output_(output), executableEntries_(std::move(executableEntries)) {
    checkUnpackedLauncher(image);
    if (image.sections.size() + kMostAdded >= kElfReservedSections) {
        throw PackError("it has too many sections to add " + std::to_string(kMostAdded));
    }
    std::string piece;
    for (std::uint64_t done = 0; done < image.fileSize; done += piece.size()) {
        piece.resize(
            static_cast<std::size_t>(std::min<std::uint64_t>(image.fileSize - done, kCopyPiece)));
        launcher.read(done, piece.data(), piece.size());
        output_.write(piece.data(), piece.size());
    }
    padToAlignment();
    added_.push_back({attached::kSectionName, output_.position(), 0});
}

void LinuxPackageWriter::addAttachedData(const void* data, std::size_t size) {
    output_.write(data, size);
    attached_ += size;
    added_.front().size = attached_;
}

void LinuxPackageWriter::finish() {
    if (attached_ == 0) {
        throw PackError("the attached data is empty");
    }
    if (cacheRecord_) {
        writeSection(cache::kSectionName, *cacheRecord_);
    }
    writeSection(exec_modes::kSectionName, executableEntries_);

    std::string names = image_.nameTable;
    std::vector<std::uint32_t> nameOffsets;
    for (const Added& added : added_) {
        nameOffsets.push_back(static_cast<std::uint32_t>(names.size()));
        names += added.name;
        names += '\0';
    }
    const std::uint64_t namesOffset = output_.position();
    output_.write(names.data(), names.size());
    padToAlignment();
    const std::uint64_t tableOffset = output_.position();
    const std::string table = sectionTable(namesOffset, names.size(), nameOffsets);
    output_.write(table.data(), table.size());

    std::string header = image_.header;
    storeU64(header, kElfFieldSectionTable, tableOffset);
    storeU16(header, kElfFieldSectionCount,
             static_cast<std::uint16_t>(image_.sections.size() + added_.size()));
    output_.writeAt(0, header.data(), header.size());
}

void LinuxPackageWriter::padToAlignment() {
    output_.writeZerosTo(alignUp(output_.position(), kLinuxSectionAlignment));
}

void LinuxPackageWriter::writeSection(const char* name, const std::string& bytes) {
    padToAlignment();
    added_.push_back({name, output_.position(), bytes.size()});
    output_.write(bytes.data(), bytes.size());
}

// The launcher's section headers, the name table's pointed at its new
// place, then one header per added section.
std::string LinuxPackageWriter::sectionTable(std::uint64_t nameTableOffset,
                                             std::uint64_t nameTableSize,
                                             const std::vector<std::uint32_t>& nameOffsets) const {
    std::string table;
    for (std::size_t index = 0; index < image_.sections.size(); ++index) {
        std::string header = image_.sections[index].raw;
        if (index == image_.nameTableIndex) {
            storeU64(header, kElfSectionFieldOffset, nameTableOffset);
            storeU64(header, kElfSectionFieldSize, nameTableSize);
        }
        table += header;
    }
    for (std::size_t index = 0; index < added_.size(); ++index) {
        table += addedSectionHeader(nameOffsets[index], added_[index].offset, added_[index].size);
    }
    return table;
}

} // namespace packer
