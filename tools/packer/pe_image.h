// Reading a 64-bit Windows executable (PE32+) without the Windows API: the
// headers, the section table and the resource tree, every offset checked
// against the file before it is used. The packaged-executable writer builds
// on what this finds; --list uses it to locate the attached data.
#ifndef CORVELLINTH_TOOLS_PACKER_PE_IMAGE_H
#define CORVELLINTH_TOOLS_PACKER_PE_IMAGE_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/packer/byte_io.h"
#include "tools/packer/resource_tree.h"

namespace packer {

// Wine maps a section straight from the file only when its file offset is a
// multiple of this; otherwise it copies the section into private memory in
// every process that loads the executable.
inline constexpr std::uint32_t kPageSize = 4096;

inline constexpr std::size_t kSectionHeaderSize = 40;
inline constexpr std::size_t kDirectoryResource = 2;
inline constexpr std::size_t kDirectorySecurity = 4;
inline constexpr std::size_t kDirectoryRelocation = 5;
inline constexpr std::size_t kMaximumDirectories = 16;
// The subsystems of the two launchers: windowed (GUI) and console.
inline constexpr std::uint16_t kSubsystemWindows = 2;
inline constexpr std::uint16_t kSubsystemConsole = 3;

struct SectionHeader {
    std::string raw; // the 40 bytes as they are in the file
    std::uint32_t virtualSize = 0;
    std::uint32_t virtualAddress = 0;
    std::uint32_t rawSize = 0;
    std::uint32_t rawOffset = 0;

    std::string name() const;      // up to 8 bytes, as stored
    std::string shownName() const; // the same, fit for a one-line message
};

struct DataDirectory {
    std::uint32_t address = 0; // relative to the image base
    std::uint32_t size = 0;
};

struct PeImage {
    std::uint64_t fileSize = 0;
    std::uint32_t headerOffset = 0;   // of "PE\0\0" (e_lfanew)
    std::uint32_t optionalOffset = 0; // of the optional header
    std::uint32_t sectionTable = 0;   // file offset of the first section header
    std::uint32_t sizeOfHeaders = 0;
    std::uint32_t fileAlignment = 0;
    std::uint32_t sectionAlignment = 0;
    std::uint32_t directoryCount = 0; // data directories present (at most 16)
    std::uint16_t subsystem = 0;      // kSubsystemWindows, kSubsystemConsole, ...
    std::array<DataDirectory, kMaximumDirectories> directories{};
    std::vector<SectionHeader> sections; // in ascending address order
    // The section that holds the resource tree at its start, and the one
    // that holds the base relocations, when there are such.
    std::optional<std::size_t> resourceSection;
    std::optional<std::size_t> relocationSection;
    std::vector<ResourceEntry> resources;
};

// Offsets of the header fields that the writer changes, from optionalOffset
// (PE32+) or, for the file header, from headerOffset.
inline constexpr std::uint32_t kFieldNumberOfSections = 6; // file header (+ 4)
inline constexpr std::uint32_t kFieldSymbolTable = 12;     // file header
inline constexpr std::uint32_t kFieldNumberOfSymbols = 16; // file header
inline constexpr std::uint32_t kFieldInitializedData = 8;  // optional header
inline constexpr std::uint32_t kFieldSizeOfImage = 56;
inline constexpr std::uint32_t kFieldSubsystem = 68;
inline constexpr std::uint32_t kFieldCheckSum = 64;
inline constexpr std::uint32_t kFieldDirectories = 112;

// Reads file as a 64-bit Windows executable. Throws PackError with the
// reason when it is not one or is damaged: not 'MZ', a header outside the
// file, not PE32+, alignments the format does not allow, sections outside
// the file or out of order, a damaged resource tree.
PeImage readPeImage(const ByteSource& file);

// True when file starts like a Windows program of any kind: 'MZ', and the
// offset at 0x3C leads to "PE\0\0" inside the file.
bool isPeImage(const ByteSource& file);

// Where the section's addresses end, aligned: even an empty section takes
// its address, so no other may start there.
std::uint64_t sectionEnd(const SectionHeader& section, std::uint32_t alignment);

// The file offset of the bytes at address (relative to the image base) when
// count bytes from there lie in the raw data of one section.
std::optional<std::uint64_t> fileOffsetOf(const PeImage& image, std::uint32_t address,
                                          std::uint32_t count);

} // namespace packer

#endif
