#include "tests/native/support/pe_builder.h"

namespace native_support {
namespace {

constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kSectionAlignment = 0x1000;
constexpr std::uint32_t kOptionalSize = 240;

std::uint32_t alignUp(std::uint32_t value, std::uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

void put16(std::string& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    put16(bytes, at, value & 0xFFFF);
    put16(bytes, at + 2, value >> 16);
}

std::uint32_t virtualSize(const SectionSpec& section) {
    return static_cast<std::uint32_t>(section.data.size()) + section.extraVirtual;
}

void writeHeaders(const ImageSpec& spec, std::uint32_t imageEnd, std::string& image) {
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3C, kBuilderPeOffset);
    image.replace(kBuilderPeOffset, 4, std::string("PE\0\0", 4));
    const std::size_t file = kBuilderPeOffset + 4;
    put16(image, file, 0x8664);
    put16(image, file + 2, static_cast<std::uint32_t>(spec.sections.size()));
    put16(image, file + 16, kOptionalSize);
    put16(image, file + 18, 0x22);
    const std::size_t optional = file + 20;
    put16(image, optional, 0x20B);
    put32(image, optional + 16, spec.firstAddress); // entry point
    put32(image, optional + 24, 0x40000000);        // image base, low half
    put32(image, optional + 32, kSectionAlignment);
    put32(image, optional + 36, kFileAlignment);
    put16(image, optional + 48, 5); // subsystem version
    put32(image, optional + 56, imageEnd);
    put32(image, optional + 60, spec.sizeOfHeaders);
    put16(image, optional + 68, 2);
    put32(image, optional + 108, 16);
    const auto directory = [&](int index, std::size_t slot) {
        if (index >= 0) {
            put32(image, optional + 112 + 8 * slot,
                  sectionAddress(spec, static_cast<std::size_t>(index)));
            put32(image, optional + 116 + 8 * slot,
                  static_cast<std::uint32_t>(
                      spec.sections[static_cast<std::size_t>(index)].data.size()));
        }
    };
    directory(spec.resourceSection, 2);
    directory(spec.relocationSection, 5);
}

} // namespace

std::uint32_t sectionAddress(const ImageSpec& spec, std::size_t index) {
    std::uint32_t address = spec.firstAddress;
    for (std::size_t before = 0; before < index; ++before) {
        address += alignUp(std::max<std::uint32_t>(virtualSize(spec.sections[before]), 1),
                           kSectionAlignment);
    }
    return address;
}

std::string buildImage(const ImageSpec& spec) {
    std::string image(spec.sizeOfHeaders, '\0');
    std::uint32_t rawOffset = spec.sizeOfHeaders;
    for (std::size_t index = 0; index < spec.sections.size(); ++index) {
        const SectionSpec& section = spec.sections[index];
        const auto rawSize =
            alignUp(static_cast<std::uint32_t>(section.data.size()), kFileAlignment);
        std::string header(40, '\0');
        header.replace(0, std::min<std::size_t>(section.name.size(), 8), section.name, 0, 8);
        put32(header, 8, virtualSize(section));
        put32(header, 12, sectionAddress(spec, index));
        put32(header, 16, rawSize);
        put32(header, 20, rawSize == 0 ? 0 : rawOffset);
        put32(header, 36, section.characteristics);
        image.replace(kBuilderSectionTable + 40 * index, 40, header);
        std::string raw = section.data;
        raw.resize(rawSize, '\0');
        image += raw;
        rawOffset += rawSize;
    }
    writeHeaders(spec, sectionAddress(spec, spec.sections.size()), image);
    return image;
}

std::string oneResourceTree(std::uint32_t address, std::uint16_t type, std::uint16_t name,
                            std::uint16_t language, const std::string& data) {
    // Three directories of one entry each (24 bytes apiece), a data entry,
    // then the data.
    std::string tree(24 * 3 + 16, '\0');
    const std::uint16_t keys[] = {type, name, language};
    for (std::uint32_t level = 0; level < 3; ++level) {
        const std::size_t at = 24 * level;
        put16(tree, at + 14, 1);
        put32(tree, at + 16, keys[level]);
        put32(tree, at + 20, level < 2 ? (0x80000000u | (24 * (level + 1))) : 72);
    }
    put32(tree, 72, address + 88);
    put32(tree, 76, static_cast<std::uint32_t>(data.size()));
    return tree + data;
}

std::uint32_t plainChecksum(const std::string& executable) {
    const auto byte = [&executable](std::size_t at) {
        return at < executable.size() ? static_cast<unsigned char>(executable[at]) : 0u;
    };
    const std::size_t field =
        (byte(0x3C) | byte(0x3D) << 8 | byte(0x3E) << 16 | byte(0x3F) << 24) + 24 + 64;
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < executable.size(); at += 2) {
        if (at >= field && at < field + 4) {
            continue;
        }
        sum += byte(at) | byte(at + 1) << 8;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + static_cast<std::uint32_t>(executable.size());
}

} // namespace native_support
