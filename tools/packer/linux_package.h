// Writes a Linux package: a byte-for-byte copy of the Linux launcher (an
// ELF executable) followed by sections that are not loaded (flags 0, so
// the loader ignores them and tools that rewrite ELF files keep them), each
// at a file offset that is a multiple of 8:
//
//   .onefile        the attached data, as a Windows package carries it
//   .onefile_cache  the cache record, for a cached package
//   .onefile_modes  the executable-entries record (payload/exec_modes.h)
//
// then a new section-name table (the old names and the new ones) and a new
// section header table, which the file header is pointed at. Nothing the
// launcher loads changes. The attached data streams through.
//
//   LinuxPackageWriter writer(launcher, image, executableEntriesRecord(indices), output);
//   writer.addAttachedData(piece, size); // as often as needed
//   writer.setCacheRecord(record);       // for a cached package
//   writer.finish();
#ifndef CORVELLINTH_TOOLS_PACKER_LINUX_PACKAGE_H
#define CORVELLINTH_TOOLS_PACKER_LINUX_PACKAGE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/packer/byte_io.h"
#include "tools/packer/elf_image.h"

namespace packer {

// The alignment of every added section's file offset and of the new table.
inline constexpr std::uint64_t kLinuxSectionAlignment = 8;

// The executable-entries record listing indices (the 0-based positions in
// the entry stream of the entries to create executable). Throws
// std::invalid_argument when they are not strictly ascending.
std::string executableEntriesRecord(const std::vector<std::uint32_t>& indices);

// Which of entryCount entries the package at source (image read from it)
// unpacks executable, in stream order: none without the record. Throws
// PackError when the record is damaged or lists an entry the stream lacks.
std::vector<bool> readExecutableEntries(const ByteSource& source, const ElfImage& image,
                                        std::size_t entryCount);

// Throws PackError when image already carries a section whose name starts
// with ".onefile": a package is not a launcher.
void checkUnpackedLauncher(const ElfImage& image);

class LinuxPackageWriter {
  public:
    // Copies the launcher. Throws PackError as checkUnpackedLauncher does,
    // or when output fails.
    LinuxPackageWriter(const ByteSource& launcher, const ElfImage& image,
                       std::string executableEntries, OutputSink& output);

    // Appends attached data. Throws PackError when output fails.
    void addAttachedData(const void* data, std::size_t size);

    // The cache record to carry; without one the package is not cached.
    void setCacheRecord(std::string record) { cacheRecord_ = std::move(record); }

    // Writes the other sections, the new tables and the file header's new
    // fields. Throws PackError when no attached data was added.
    void finish();

    std::uint64_t attachedSize() const { return attached_; }

  private:
    struct Added {
        const char* name;
        std::uint64_t offset;
        std::uint64_t size;
    };

    void padToAlignment();
    void writeSection(const char* name, const std::string& bytes);
    std::string sectionTable(std::uint64_t nameTableOffset, std::uint64_t nameTableSize,
                             const std::vector<std::uint32_t>& nameOffsets) const;

    const ElfImage& image_;
    CountingOutput output_;
    std::string executableEntries_;
    std::optional<std::string> cacheRecord_;
    std::vector<Added> added_;
    std::uint64_t attached_ = 0;
};

} // namespace packer

#endif
