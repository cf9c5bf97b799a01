#include "tools/packer/packaged_writer.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "payload/format.h"

namespace packer {
namespace {

constexpr std::uint64_t kAddressLimit = 0x100000000ull;
constexpr std::size_t kCopyPiece = 1 << 20;
constexpr std::uint32_t kLanguageNeutral = 0;
// Initialised data, readable: what a resource section needs.
constexpr std::uint32_t kResourceCharacteristics = 0x40000040;

SectionHeader makeSection(const std::string& name, std::uint32_t address, std::uint32_t size,
                          std::uint32_t rawOffset, std::uint32_t rawSize,
                          std::uint32_t characteristics) {
    SectionHeader section;
    section.raw.assign(kSectionHeaderSize, '\0');
    section.raw.replace(0, std::min<std::size_t>(name.size(), 8), name, 0, 8);
    storeU32(section.raw, 8, section.virtualSize = size);
    storeU32(section.raw, 12, section.virtualAddress = address);
    storeU32(section.raw, 16, section.rawSize = rawSize);
    storeU32(section.raw, 20, section.rawOffset = rawOffset);
    storeU32(section.raw, 36, characteristics);
    return section;
}

// Only the base relocations may follow the resource section: their address
// is named in one place (the data directory), and nothing refers to
// addresses inside them.
void checkMovable(const PeImage& image) {
    if (!image.resourceSection) {
        return;
    }
    for (std::size_t index = *image.resourceSection + 1; index < image.sections.size(); ++index) {
        if (index != image.relocationSection) {
            throw PackError("the launcher's resource section is followed by section '" +
                            image.sections[index].shownName() + "', which cannot be moved");
        }
    }
}

} // namespace

ResourceItem attachedDataItem() {
    return {ResourceKey::number(kTypeRcData),
            ResourceKey::number(static_cast<std::uint16_t>(attached::kResourceId)),
            ResourceKey::number(kLanguageNeutral),
            0,
            {}};
}

PackagedExecutableWriter::PackagedExecutableWriter(const ByteSource& launcher, const PeImage& image,
                                                   std::vector<ResourceItem> resources,
                                                   OutputSink& output)
    : launcher_(launcher), image_(image), output_(output) {
    checkMovable(image);
    planSections();
    layout_ = layOutResourceSection(std::move(resources), attachedDataItem(), resourceAddress_);
    const std::uint64_t sectionRoom = kAddressLimit - image.sectionAlignment - resourceAddress_;
    const std::uint64_t fileRoom =
        (kAddressLimit - 1 - resourceOffset_) / image.fileAlignment * image.fileAlignment;
    const std::uint64_t room = std::min(sectionRoom, fileRoom);
    if (room <= layout_.streamedOffset) {
        throw PackError("the launcher leaves no room for another section below 4 GiB");
    }
    limit_ = room - layout_.streamedOffset;
    writeStart();
}

// Kept sections stay where they are in the file and in memory; the
// relocations take the old resource section's place; the new resource
// section comes last, on a page boundary in the file.
void PackagedExecutableWriter::planSections() {
    const std::size_t kept = image_.resourceSection.value_or(image_.sections.size());
    keptRawEnd_ = image_.sizeOfHeaders;
    std::uint64_t nextAddress = alignUp(image_.sizeOfHeaders, image_.sectionAlignment);
    for (std::size_t index = 0; index < kept; ++index) {
        const SectionHeader& section = image_.sections[index];
        if (section.rawSize != 0) {
            keptRawEnd_ = std::max<std::uint64_t>(keptRawEnd_, std::uint64_t{section.rawOffset} +
                                                                   section.rawSize);
        }
        nextAddress = std::max(nextAddress, sectionEnd(section, image_.sectionAlignment));
        sections_.push_back(section);
    }
    std::uint64_t nextOffset = alignUp(keptRawEnd_, image_.fileAlignment);
    if (image_.resourceSection && image_.relocationSection > image_.resourceSection) {
        SectionHeader moved = image_.sections[*image_.relocationSection];
        relocationsMoved_ = true;
        relocationShift_ = static_cast<std::int64_t>(nextAddress) - moved.virtualAddress;
        storeU32(moved.raw, 12, moved.virtualAddress = static_cast<std::uint32_t>(nextAddress));
        if (moved.rawSize != 0) {
            storeU32(moved.raw, 20, moved.rawOffset = static_cast<std::uint32_t>(nextOffset));
            nextOffset += alignUp(moved.rawSize, image_.fileAlignment);
        }
        nextAddress = sectionEnd(moved, image_.sectionAlignment);
        sections_.push_back(moved);
    }
    resourceCharacteristics_ = image_.resourceSection
                                   ? loadU32(image_.sections[*image_.resourceSection].raw, 36)
                                   : kResourceCharacteristics;
    const std::uint64_t resourceOffset =
        alignUp(nextOffset, std::max<std::uint64_t>(image_.fileAlignment, kPageSize));
    if (nextAddress >= kAddressLimit || resourceOffset >= kAddressLimit) {
        throw PackError("the launcher leaves no room for another section below 4 GiB");
    }
    resourceAddress_ = static_cast<std::uint32_t>(nextAddress);
    resourceOffset_ = static_cast<std::uint32_t>(resourceOffset);

    const std::uint64_t oldTableEnd =
        image_.sectionTable + image_.sections.size() * kSectionHeaderSize;
    const std::uint64_t tableEnd =
        image_.sectionTable + (sections_.size() + 1) * kSectionHeaderSize;
    std::uint64_t firstRaw = image_.sizeOfHeaders;
    for (const SectionHeader& section : sections_) {
        if (section.rawSize != 0) {
            firstRaw = std::min<std::uint64_t>(firstRaw, section.rawOffset);
        }
    }
    const bool spare =
        tableEnd <= oldTableEnd ||
        launcher_.bytes(oldTableEnd, static_cast<std::size_t>(tableEnd - oldTableEnd))
                .find_first_not_of('\0') == std::string::npos;
    if (tableEnd > firstRaw || !spare) {
        throw PackError("the launcher's headers have no room for another section");
    }
}

void PackagedExecutableWriter::writeStart() {
    const std::string headers = launcher_.bytes(0, image_.sizeOfHeaders);
    output_.write(headers.data(), headers.size()); // replaced by finish()
    copyFromLauncher(image_.sizeOfHeaders, keptRawEnd_ - image_.sizeOfHeaders);
    if (relocationsMoved_ && sections_.back().rawSize != 0) {
        output_.writeZerosTo(sections_.back().rawOffset);
        copyFromLauncher(image_.sections[*image_.relocationSection].rawOffset,
                         sections_.back().rawSize);
    }
    output_.writeZerosTo(resourceOffset_);
    output_.write(layout_.head.data(), layout_.head.size()); // replaced by finish()
}

void PackagedExecutableWriter::copyFromLauncher(std::uint64_t offset, std::uint64_t count) {
    std::string piece;
    for (std::uint64_t done = 0; done < count;) {
        piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(count - done, kCopyPiece)));
        launcher_.read(offset + done, piece.data(), piece.size());
        checksum_.add(output_.position(), piece.data(), piece.size());
        output_.write(piece.data(), piece.size());
        done += piece.size();
    }
}

void PackagedExecutableWriter::addAttachedData(const void* data, std::size_t size) {
    if (size > limit_ - attached_) {
        throw PackError("the attached data does not fit in an executable: it may have at most " +
                        std::to_string(limit_) + " bytes");
    }
    checksum_.add(output_.position(), data, size);
    output_.write(data, size);
    attached_ += size;
}

void PackagedExecutableWriter::replaceResourceData(const ResourceItem& item) {
    for (const ResourceSectionLayout::Placed& placed : layout_.placed) {
        if (placed.type == item.type && placed.name == item.name &&
            placed.language == item.language) {
            if (placed.size != item.data.size()) {
                throw std::logic_error("a replaced resource must keep its size");
            }
            layout_.head.replace(placed.offset, placed.size, item.data);
            return;
        }
    }
    throw std::logic_error("no such resource to replace");
}

void PackagedExecutableWriter::finish() {
    if (attached_ == 0) {
        throw PackError("the attached data is empty");
    }
    const std::uint64_t sectionSize = layout_.streamedOffset + attached_;
    const std::uint64_t rawSize = alignUp(sectionSize, image_.fileAlignment);
    output_.writeZerosTo(resourceOffset_ + rawSize);
    const SectionHeader resources =
        makeSection(".rsrc", resourceAddress_, static_cast<std::uint32_t>(sectionSize),
                    resourceOffset_, static_cast<std::uint32_t>(rawSize), resourceCharacteristics_);
    storeU32(layout_.head, layout_.streamedSizeField, static_cast<std::uint32_t>(attached_));

    std::string headers = finalHeaders(resources);
    ImageChecksum checksum = checksum_;
    checksum.add(0, headers.data(), headers.size());
    checksum.add(resourceOffset_, layout_.head.data(), layout_.head.size());
    storeU32(headers, image_.optionalOffset + kFieldCheckSum, checksum.value(output_.position()));
    output_.writeAt(0, headers.data(), headers.size());
    output_.writeAt(resourceOffset_, layout_.head.data(), layout_.head.size());
}

// The launcher's headers with the new section table, sizes and directories;
// the checksum field is left 0 for the caller to fill in.
std::string PackagedExecutableWriter::finalHeaders(const SectionHeader& resources) const {
    std::string headers = launcher_.bytes(0, image_.sizeOfHeaders);
    const std::size_t table = image_.sectionTable;
    headers.replace(table, image_.sections.size() * kSectionHeaderSize,
                    image_.sections.size() * kSectionHeaderSize, '\0');
    std::size_t at = table;
    for (const SectionHeader& section : sections_) {
        headers.replace(at, kSectionHeaderSize, section.raw);
        at += kSectionHeaderSize;
    }
    headers.replace(at, kSectionHeaderSize, resources.raw);

    const std::size_t fileHeader = image_.headerOffset;
    storeU16(headers, fileHeader + kFieldNumberOfSections,
             static_cast<std::uint16_t>(sections_.size() + 1));
    storeU32(headers, fileHeader + kFieldSymbolTable, 0); // the overlay is not copied
    storeU32(headers, fileHeader + kFieldNumberOfSymbols, 0);

    const std::size_t optional = image_.optionalOffset;
    const std::uint32_t oldResourceRaw =
        image_.resourceSection ? image_.sections[*image_.resourceSection].rawSize : 0;
    const std::uint64_t initialised =
        loadU32(headers, optional + kFieldInitializedData) -
        std::min(loadU32(headers, optional + kFieldInitializedData), oldResourceRaw) +
        std::uint64_t{resources.rawSize};
    storeU32(headers, optional + kFieldInitializedData,
             static_cast<std::uint32_t>(std::min<std::uint64_t>(initialised, 0xFFFFFFFFu)));
    storeU32(headers, optional + kFieldSizeOfImage,
             static_cast<std::uint32_t>(sectionEnd(resources, image_.sectionAlignment)));
    storeU32(headers, optional + kFieldCheckSum, 0);

    const auto directory = [&](std::size_t index) {
        return optional + kFieldDirectories + 8 * index;
    };
    storeU32(headers, directory(kDirectoryResource), resources.virtualAddress);
    storeU32(headers, directory(kDirectoryResource) + 4, resources.virtualSize);
    if (image_.directoryCount > kDirectorySecurity) {
        storeU32(headers, directory(kDirectorySecurity), 0);
        storeU32(headers, directory(kDirectorySecurity) + 4, 0);
    }
    if (relocationsMoved_) {
        const std::uint32_t moved = static_cast<std::uint32_t>(
            image_.directories[kDirectoryRelocation].address + relocationShift_);
        storeU32(headers, directory(kDirectoryRelocation), moved);
    }
    return headers;
}

} // namespace packer
