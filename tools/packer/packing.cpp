#include "tools/packer/packing.h"

#include <vector>

#include "tools/packer/partial_output.h"
#include "tools/packer/progress.h"
#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::size_t kReadChunkSize = 1 << 20;

bool isPeImageFile(const std::string& path) {
    return isPeImage(InputFile(path));
}

// The file to pack for source: a signed copy when it is a Windows program
// and there is a signer, else the source itself.
std::string fileToPack(const SourceFile& source, Signer* signer) {
    if (signer == nullptr || !isPeImageFile(source.path)) {
        return source.path;
    }
    return signer->signCopyOf(source.path, signedFileExtension(source.name),
                              "entry '" + utf16ToUtf8(source.name) + "'");
}

// One entry: the size is taken when the file is opened, and exactly that
// many bytes must then be readable.
void packFile(const SourceFile& source, AttachedDataWriter& writer, std::vector<char>& buffer,
              Progress& progress, const EntryObserver& observer, Signer* signer) {
    InputFile file(fileToPack(source, signer), source.path);
    progress.correctTotal(source.size, file.size());
    writer.beginEntry(source.name, file.size());
    if (observer) {
        observer(source.name, file.size());
    }
    for (std::uint64_t remaining = file.size(); remaining != 0;) {
        const auto wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kReadChunkSize));
        const std::size_t got = file.readNext(buffer.data(), wanted);
        if (got == 0) {
            throw PackError("'" + source.path + "' became shorter while it was packed");
        }
        writer.addData(buffer.data(), got);
        remaining -= got;
        progress.advance(got);
    }
}

[[noreturn]] void refuseLauncher(const std::string& path, const std::string& reason) {
    throw PackError("cannot use '" + path + "' as the launcher: " + reason);
}

PeImage readLauncherImage(const InputFile& file, const std::string& path) {
    if (hasElfMagic(file)) {
        refuseLauncher(path, "it is a Linux program, which makes a package only with --linux");
    }
    try {
        return readPeImage(file);
    } catch (const PackError& failure) {
        refuseLauncher(path, failure.message());
    }
}

ElfImage readLinuxLauncherImage(const InputFile& file, const std::string& path) {
    try {
        ElfImage image = readElfImage(file);
        checkUnpackedLauncher(image);
        return image;
    } catch (const PackError& failure) {
        refuseLauncher(path, failure.message());
    }
}

} // namespace

std::uint64_t compressTree(const SourceTree& tree, const WriterOptions& options,
                           const AttachedDataWriter::Sink& sink, bool showProgress,
                           const EntryObserver& observer, Signer* signer) {
    AttachedDataWriter writer(sink, options);
    Progress progress(tree.totalBytes, showProgress);
    std::vector<char> buffer(kReadChunkSize);
    for (const SourceFile& source : tree.files) {
        packFile(source, writer, buffer, progress, observer, signer);
    }
    writer.finish();
    progress.finish();
    return writer.compressedBytes();
}

Launcher::Launcher(const std::string& path) : file(path), image(readLauncherImage(file, path)) {}

void writePackage(const Launcher& launcher, const ResourceEdits& edits,
                  const std::string& outputPath, const std::string& shown, Signer* signer,
                  const std::function<void(PackagedExecutableWriter&)>& fill) {
    std::vector<ResourceItem> resources = editResources(launcher.file, launcher.image, edits);
    PartialOutput output(outputPath, shown, true);
    PackagedExecutableWriter writer(launcher.file, launcher.image, std::move(resources),
                                    output.file());
    fill(writer);
    writer.finish();
    output.commit(signer);
}

LinuxLauncher::LinuxLauncher(const std::string& path)
    : file(path), image(readLinuxLauncherImage(file, path)) {}

void writeLinuxPackage(const LinuxLauncher& launcher, const std::string& executableEntries,
                       const std::string& outputPath, const std::string& shown,
                       const std::function<void(LinuxPackageWriter&)>& fill) {
    PartialOutput output(outputPath, shown, true);
    LinuxPackageWriter writer(launcher.file, launcher.image, executableEntries, output.file());
    fill(writer);
    writer.finish();
    output.commit();
}

std::optional<ResourceEntry> findAttachedData(const PeImage& image) {
    const ResourceItem attached = attachedDataItem();
    for (const ResourceEntry& entry : image.resources) {
        if (entry.type == attached.type && entry.name == attached.name) {
            return entry;
        }
    }
    return std::nullopt;
}

} // namespace packer
