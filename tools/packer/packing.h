// The steps of onefile-pack that move bytes: a source tree compressed into
// attached data, and a packaged executable written from a launcher and
// attached data that streams in.
#ifndef CORVELLINTH_TOOLS_PACKER_PACKING_H
#define CORVELLINTH_TOOLS_PACKER_PACKING_H

#include <cstdint>
#include <functional>
#include <string>

#include "tools/packer/attached_writer.h"
#include "tools/packer/elf_image.h"
#include "tools/packer/linux_package.h"
#include "tools/packer/packaged_writer.h"
#include "tools/packer/platform.h"
#include "tools/packer/resource_edits.h"
#include "tools/packer/signing.h"
#include "tools/packer/source_tree.h"

namespace packer {

// Told the name and size of every entry as it is written.
using EntryObserver = std::function<void(const std::u16string& name, std::uint64_t size)>;

// Compresses every file of tree, in order, into attached data handed to
// sink piece by piece (memory use does not depend on the sizes). With a
// signer, every file that is a Windows program is signed first and packed
// as signed. Returns its size. Throws PackError when a source file cannot
// be read or becomes shorter while it is read, when signing fails, or when
// sink throws.
std::uint64_t compressTree(const SourceTree& tree, const WriterOptions& options,
                           const AttachedDataWriter::Sink& sink, bool showProgress,
                           const EntryObserver& observer = {}, Signer* signer = nullptr);

// A launcher, read and checked. Throws PackError "cannot use '<path>' as
// the launcher: <reason>" when it is not a usable 64-bit executable.
struct Launcher {
    explicit Launcher(const std::string& path);
    InputFile file;
    PeImage image;
};

// A Linux launcher, read and checked. Throws PackError "cannot use '<path>'
// as the launcher: <reason>" when it is not a usable ELF executable or is a
// package already.
struct LinuxLauncher {
    explicit LinuxLauncher(const std::string& path);
    InputFile file;
    ElfImage image;
};

// Writes the packaged executable outputPath (shown in messages as shown):
// the launcher with edits applied, and the attached data that fill hands
// to the writer; signed last when signer is not null. Nothing is left at
// outputPath unless it all succeeds.
void writePackage(const Launcher& launcher, const ResourceEdits& edits,
                  const std::string& outputPath, const std::string& shown, Signer* signer,
                  const std::function<void(PackagedExecutableWriter&)>& fill);

// Writes the Linux package outputPath (shown in messages as shown): the
// launcher, the attached data that fill hands to the writer (with the cache
// record, when it sets one) and executableEntries, the record of the
// entries to unpack executable. Nothing is left at outputPath unless it all
// succeeds; the package is executable.
void writeLinuxPackage(const LinuxLauncher& launcher, const std::string& executableEntries,
                       const std::string& outputPath, const std::string& shown,
                       const std::function<void(LinuxPackageWriter&)>& fill);

// The attached data's resource in image, when it has one.
std::optional<ResourceEntry> findAttachedData(const PeImage& image);

} // namespace packer

#endif
