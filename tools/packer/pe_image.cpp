#include "tools/packer/pe_image.h"

#include <algorithm>
#include <cstdio>

#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::uint32_t kDosHeaderSize = 64;
constexpr std::uint32_t kPeOffsetField = 0x3C;
constexpr std::uint32_t kFileHeaderSize = 20;
constexpr std::uint32_t kSignatureSize = 4;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint32_t kOptionalFixedSize = kFieldDirectories; // PE32+, before the directories
constexpr std::uint32_t kDirectorySize = 8;
constexpr std::uint32_t kMaximumSections = 96;
constexpr std::uint32_t kSmallestFileAlignment = 512;
constexpr std::uint32_t kLargestFileAlignment = 65536;
constexpr std::uint64_t kAddressLimit = 0x100000000ull;

[[noreturn]] void refuse(const std::string& reason) {
    throw PackError(reason);
}

std::string hexadecimal(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

bool isPowerOfTwo(std::uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

// The bytes [offset, offset + count) of the file, refused as cut short
// when the file ends before them.
std::string headerBytes(const ByteSource& file, std::uint64_t offset, std::uint64_t count,
                        const char* what) {
    if (offset > file.size() || count > file.size() - offset) {
        refuse(std::string("it is cut short inside its ") + what);
    }
    return file.bytes(offset, static_cast<std::size_t>(count));
}

void readHeaders(const ByteSource& file, PeImage* image) {
    const std::string start = file.bytes(0, std::min<std::uint64_t>(file.size(), 2));
    if (start != "MZ") {
        refuse("it is not a Windows executable (no 'MZ' at its start)");
    }
    const std::string dos = headerBytes(file, 0, kDosHeaderSize, "DOS header");
    image->headerOffset = loadU32(dos, kPeOffsetField);
    const std::string fileHeader =
        headerBytes(file, image->headerOffset, kSignatureSize + kFileHeaderSize, "PE header");
    if (fileHeader.compare(0, kSignatureSize, std::string("PE\0\0", 4)) != 0) {
        refuse("it is not a Windows executable (no 'PE' signature where its header points)");
    }
    const std::uint16_t sectionCount = loadU16(fileHeader, kFieldNumberOfSections);
    const std::uint16_t optionalSize = loadU16(fileHeader, kSignatureSize + 16);
    const std::uint64_t optionalStart =
        std::uint64_t{image->headerOffset} + kSignatureSize + kFileHeaderSize;
    if (optionalStart + optionalSize + std::uint64_t{sectionCount} * kSectionHeaderSize >
        0xFFFFFFFFull) {
        refuse("its headers lie beyond 4 GiB");
    }
    image->optionalOffset = static_cast<std::uint32_t>(optionalStart);
    const std::string optional = headerBytes(
        file, image->optionalOffset, std::max<std::uint32_t>(optionalSize, 2), "optional header");
    if (loadU16(optional, 0) != kMagicPe32Plus) {
        refuse("it is not a 64-bit Windows executable (PE32+)");
    }
    // The header's form says nothing of the processor: the launcher runs on x86-64 only.
    const std::uint16_t machine = loadU16(fileHeader, kSignatureSize);
    if (machine != kMachineAmd64) {
        refuse("it is a program for another processor (machine " + hexadecimal(machine) +
               "), not for x86-64");
    }
    if (optionalSize < kOptionalFixedSize) {
        refuse("its optional header is too short");
    }
    image->sectionAlignment = loadU32(optional, 32);
    image->fileAlignment = loadU32(optional, 36);
    image->sizeOfHeaders = loadU32(optional, 60);
    image->subsystem = loadU16(optional, kFieldSubsystem);
    image->directoryCount = std::min<std::uint32_t>(loadU32(optional, 108), kMaximumDirectories);
    if (optionalSize < kOptionalFixedSize + image->directoryCount * kDirectorySize) {
        refuse("its optional header is too short for its data directories");
    }
    if (image->directoryCount <= kDirectoryResource) {
        refuse("it has no resource directory entry");
    }
    for (std::uint32_t index = 0; index < image->directoryCount; ++index) {
        const std::uint32_t at = kOptionalFixedSize + index * kDirectorySize;
        image->directories[index] = {loadU32(optional, at), loadU32(optional, at + 4)};
    }
    if (sectionCount == 0 || sectionCount > kMaximumSections) {
        refuse("it has " + std::to_string(sectionCount) + " sections (1 to " +
               std::to_string(kMaximumSections) + " are allowed)");
    }
    image->sectionTable = image->optionalOffset + optionalSize;
    image->sections.resize(sectionCount);
}

void checkAlignments(const PeImage& image) {
    if (!isPowerOfTwo(image.fileAlignment) || image.fileAlignment < kSmallestFileAlignment ||
        image.fileAlignment > kLargestFileAlignment) {
        refuse("its file alignment " + std::to_string(image.fileAlignment) +
               " is not a power of two from 512 to 65536");
    }
    if (!isPowerOfTwo(image.sectionAlignment) || image.sectionAlignment < kPageSize ||
        image.sectionAlignment < image.fileAlignment) {
        refuse("its section alignment " + std::to_string(image.sectionAlignment) +
               " is not a power of two of at least a page and the file alignment");
    }
    const std::uint64_t tableEnd =
        std::uint64_t{image.sectionTable} + image.sections.size() * kSectionHeaderSize;
    if (tableEnd > image.sizeOfHeaders || image.sizeOfHeaders > image.fileSize) {
        refuse("its section table does not fit in its headers");
    }
}

// Sections in ascending address order without overlap, their raw data in
// the file, and none reaching past the 4 GiB address space.
void readSections(const ByteSource& file, PeImage* image) {
    const std::string table =
        file.bytes(image->sectionTable, image->sections.size() * kSectionHeaderSize);
    std::uint64_t nextFree = image->sizeOfHeaders;
    for (std::size_t index = 0; index < image->sections.size(); ++index) {
        SectionHeader& section = image->sections[index];
        section.raw = table.substr(index * kSectionHeaderSize, kSectionHeaderSize);
        section.virtualSize = loadU32(section.raw, 8);
        section.virtualAddress = loadU32(section.raw, 12);
        section.rawSize = loadU32(section.raw, 16);
        section.rawOffset = loadU32(section.raw, 20);
        const std::string name =
            "section " + std::to_string(index + 1) + " ('" + section.shownName() + "')";
        if (section.rawSize != 0 &&
            std::uint64_t{section.rawOffset} + section.rawSize > image->fileSize) {
            refuse(name + " lies outside the file");
        }
        if (section.virtualAddress < nextFree ||
            section.virtualAddress % image->sectionAlignment != 0) {
            refuse(name + " is out of order or misaligned");
        }
        nextFree = sectionEnd(section, image->sectionAlignment);
        if (nextFree > kAddressLimit) {
            refuse(name + " reaches past 4 GiB");
        }
    }
}

// The section that starts exactly at address, or that holds it.
std::optional<std::size_t> sectionAt(const PeImage& image, std::uint32_t address, bool atStart) {
    for (std::size_t index = 0; index < image.sections.size(); ++index) {
        const SectionHeader& section = image.sections[index];
        const std::uint64_t end =
            std::uint64_t{section.virtualAddress} + std::max(section.virtualSize, section.rawSize);
        if (atStart ? address == section.virtualAddress
                    : address >= section.virtualAddress && address < end) {
            return index;
        }
    }
    return std::nullopt;
}

void findSpecialSections(PeImage* image) {
    const DataDirectory& resources = image->directories[kDirectoryResource];
    if (resources.address != 0 || resources.size != 0) {
        image->resourceSection = sectionAt(*image, resources.address, true);
        if (!image->resourceSection) {
            refuse("its resources do not start a section of their own");
        }
    }
    if (image->directoryCount > kDirectoryRelocation) {
        const DataDirectory& relocations = image->directories[kDirectoryRelocation];
        if (relocations.address != 0 && relocations.size != 0) {
            image->relocationSection = sectionAt(*image, relocations.address, false);
        }
    }
}

void readResources(const ByteSource& file, PeImage* image) {
    if (!image->resourceSection) {
        return;
    }
    const SectionHeader& section = image->sections[*image->resourceSection];
    const AddressToOffset locate = [image](std::uint32_t address, std::uint32_t count) {
        return fileOffsetOf(*image, address, count);
    };
    image->resources = readResourceTree(file, section.rawOffset, section.rawSize, locate);
}

} // namespace

std::string SectionHeader::name() const {
    const std::string stored = raw.substr(0, 8);
    return stored.substr(0, stored.find('\0'));
}

std::string SectionHeader::shownName() const {
    return oneLine(name());
}

std::uint64_t sectionEnd(const SectionHeader& section, std::uint32_t alignment) {
    const std::uint32_t extent = std::max({section.virtualSize, section.rawSize, 1u});
    return alignUp(std::uint64_t{section.virtualAddress} + extent, alignment);
}

std::optional<std::uint64_t> fileOffsetOf(const PeImage& image, std::uint32_t address,
                                          std::uint32_t count) {
    for (const SectionHeader& section : image.sections) {
        if (address >= section.virtualAddress &&
            std::uint64_t{address} - section.virtualAddress + count <= section.rawSize) {
            return std::uint64_t{section.rawOffset} + (address - section.virtualAddress);
        }
    }
    return std::nullopt;
}

bool isPeImage(const ByteSource& file) {
    if (file.size() < kDosHeaderSize) {
        return false;
    }
    const std::string dos = file.bytes(0, kDosHeaderSize);
    const std::uint64_t header = loadU32(dos, kPeOffsetField);
    return dos.compare(0, 2, "MZ") == 0 && header + kSignatureSize <= file.size() &&
           file.bytes(header, kSignatureSize) == std::string("PE\0\0", kSignatureSize);
}

PeImage readPeImage(const ByteSource& file) {
    PeImage image;
    image.fileSize = file.size();
    readHeaders(file, &image);
    checkAlignments(image);
    readSections(file, &image);
    findSpecialSections(&image);
    readResources(file, &image);
    return image;
}

} // namespace packer
