#include "tools/packer/packer_main.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "payload/format.h"
#include "resources/product.h"
#include "tools/packer/cache_package.h"
#include "tools/packer/command_line.h"
#include "tools/packer/entry_listing.h"
#include "tools/packer/packing.h"
#include "tools/packer/partial_output.h"
#include "tools/packer/unicode_text.h"
#include "tools/packer/version_record.h"

namespace packer {
namespace {

constexpr char kDefaultVersion[] = "1.0.0.0";

void warn(const std::string& message) {
    writeStandard(StandardStream::Error, "onefile-pack: warning: " + oneLine(message) + "\n");
}

const char* launcherName(LauncherKind kind) {
    return kind == LauncherKind::Console ? CORVELLINTH_CONSOLE_EXECUTABLE_NAME
                                         : CORVELLINTH_EXECUTABLE_NAME;
}

std::string launcherOf(const CommandLine& command) {
    const std::string launcher =
        command.launcher.empty()
            ? ownDirectory() + kPathSeparator +
                  launcherName(command.launcherKind.value_or(LauncherKind::Windowed))
            : command.launcher;
    const FileStatus status = statusOf(launcher);
    if (status.kind == FileKind::Missing) {
        throw PackError(describeFailure("cannot read the launcher", launcher, status.error));
    }
    if (status.kind != FileKind::File) {
        throw PackError("the launcher '" + launcher + "' is not a file");
    }
    return launcher;
}

// "windowed", "console", or the number of any other subsystem.
std::string subsystemName(std::uint16_t subsystem) {
    switch (subsystem) {
    case kSubsystemWindows:
        return "windowed";
    case kSubsystemConsole:
        return "console";
    default:
        return std::to_string(subsystem);
    }
}

// With --console or --windowed the launcher must be of that subsystem (one
// named with --launcher too): the package would otherwise behave as the
// other kind.
void checkLauncherKind(const CommandLine& command, const std::string& path,
                       const Launcher& launcher) {
    if (!command.launcherKind) {
        return;
    }
    const std::uint16_t wanted =
        *command.launcherKind == LauncherKind::Console ? kSubsystemConsole : kSubsystemWindows;
    if (launcher.image.subsystem != wanted) {
        throw PackError("the launcher '" + path + "' is a " +
                        subsystemName(launcher.image.subsystem) + " program, not a " +
                        subsystemName(wanted) + " one");
    }
}

// A signature covers the launcher's bytes as they were: the package's
// differ, so it is not carried over (the package can be signed anew).
void noteDroppedSignature(const std::string& path, const Launcher& launcher) {
    const PeImage& image = launcher.image;
    if (image.directoryCount > kDirectorySecurity &&
        image.directories[kDirectorySecurity].size != 0) {
        warn("the launcher '" + path +
             "' is signed: its signature would not match the package and is left out");
    }
}

bool isEarlierPackage(const std::string& path) {
    try {
        const InputFile file(path);
        return findAttachedData(readPeImage(file)).has_value();
    } catch (const PackError&) {
        return false;
    }
}

bool isEarlierAttachedData(const std::string& path) {
    try {
        const InputFile file(path);
        const std::string header(reinterpret_cast<const char*>(attached::kHeader),
                                 attached::kHeaderSize);
        return file.size() >= header.size() && file.bytes(0, header.size()) == header;
    } catch (const PackError&) {
        return false;
    }
}

// An output in the packed directory is not packed into itself, and may
// replace an earlier output there, but never a file that would be packed.
void checkReplacesNoInput(const SourceTree& tree, const std::string& output,
                          const std::string& shown, const std::string& directory,
                          bool (*isEarlierOutput)(const std::string&)) {
    const bool met = std::find(tree.excludedMet.begin(), tree.excludedMet.end(), output) !=
                     tree.excludedMet.end();
    if (met && !isEarlierOutput(output)) {
        throw PackError("the output '" + shown + "' must not be a file of the packed directory '" +
                        directory + "'");
    }
}

void showWarnings(const SourceTree& tree) {
    for (const std::string& warning : tree.warnings) {
        warn(warning);
    }
}

// The signer of --sign-command; none without it.
std::unique_ptr<Signer> signerFor(const CommandLine& command, const std::string& output) {
    if (command.signCommand.empty()) {
        return nullptr;
    }
    return std::make_unique<Signer>(command.signCommand, output);
}

// Refuses an output that names a directory before any work is done.
void checkOutputPath(const std::string& shown, const std::string& full) {
    if (statusOf(full).kind == FileKind::Directory) {
        throw PackError("cannot write '" + shown + "': it is a directory");
    }
}

// The output replaces the file of its name: one that names an input would
// destroy it.
void checkNotInput(const std::string& output, const std::string& input) {
    if (!input.empty() && samePath(output, fullPathOf(input))) {
        throw PackError("the output '" + output + "' must not be the input '" + input + "'");
    }
}

std::string withoutExe(const std::string& name) {
    const std::size_t length = name.size();
    if (length > 4 && name[length - 4] == '.' &&
        (name.compare(length - 3, 3, "exe") == 0 || name.compare(length - 3, 3, "EXE") == 0)) {
        return name.substr(0, length - 4);
    }
    return name;
}

// The package's names: given values, and for the rest values derived from
// them (see usageText).
struct Names {
    std::string name;
    std::string product;
    std::string fileVersion;
    std::string productVersion;
};

Names namesFor(const Identity& identity, const std::string& output) {
    Names names;
    const std::string fileName = output.substr(output.find_last_of("/\\") + 1);
    names.name = withoutExe(identity.name.value_or(fileName));
    names.product = identity.product.value_or(names.name);
    names.fileVersion =
        identity.fileVersion.value_or(identity.productVersion.value_or(kDefaultVersion));
    names.productVersion = identity.productVersion.value_or(names.fileVersion);
    return names;
}

// The version record that the identity options ask for.
std::optional<std::string> versionRecordFor(const Identity& identity, const std::string& output) {
    if (!identity.any()) {
        return std::nullopt;
    }
    const auto [name, product, fileVersion, productVersion] = namesFor(identity, output);
    VersionRecord record;
    record.fileVersion = parseVersionNumbers(fileVersion).value_or(VersionNumbers{});
    record.productVersion = parseVersionNumbers(productVersion).value_or(VersionNumbers{});
    if (identity.company) {
        record.strings.emplace_back("CompanyName", *identity.company);
    }
    record.strings.emplace_back("FileDescription", identity.description.value_or(product));
    record.strings.emplace_back("FileVersion", fileVersion);
    record.strings.emplace_back("InternalName", name);
    if (identity.copyright) {
        record.strings.emplace_back("LegalCopyright", *identity.copyright);
    }
    record.strings.emplace_back("OriginalFilename", name + ".exe");
    record.strings.emplace_back("ProductName", product);
    record.strings.emplace_back("ProductVersion", productVersion);
    return makeVersionRecord(record);
}

ResourceEdits editsFor(const CommandLine& command) {
    ResourceEdits edits;
    if (!command.icon.empty()) {
        const InputFile icon(command.icon);
        try {
            edits.icon = readIconFile(icon);
        } catch (const PackError& failure) {
            throw PackError("cannot use '" + command.icon + "' as the icon: " + failure.message());
        }
    }
    edits.versionRecord = versionRecordFor(command.identity, command.output);
    return edits;
}

WriterOptions writerOptionsOf(const CommandLine& command) {
    WriterOptions options;
    options.level = command.level;
    options.threads = command.threads;
    options.checksum = command.checksum;
    return options;
}

void printSummary(const CommandLine& command, const SourceTree& tree, std::uint64_t attached,
                  const std::string& target) {
    if (command.quiet) {
        return;
    }
    const std::uint64_t percent = tree.totalBytes == 0 ? 100 : attached * 100 / tree.totalBytes;
    writeStandard(StandardStream::Output,
                  "onefile-pack: " + std::to_string(tree.files.size()) + " files, " +
                      std::to_string(tree.totalBytes) + " bytes, into '" + target +
                      "': " + std::to_string(attached) + " bytes of attached data (" +
                      std::to_string(percent) + "%)\n");
}

// Where a cached package's copies go; nothing without --cache.
std::optional<CacheLocation> cacheLocationOf(const CommandLine& command) {
    if (!command.cache) {
        return std::nullopt;
    }
    const Names names = namesFor(command.identity, command.output);
    return resolveCacheLocation(
        command.cacheLocation.empty() ? kDefaultCacheLocation : command.cacheLocation,
        {command.identity.company.value_or(""), names.product, names.productVersion});
}

// The cache record as far as it is known before the attached data is
// written: the listing of entries, with a key still to come. Its size is
// final; writeCacheRecord fills it in.
std::string cacheRecordDraft(const CacheLocation& location,
                             const std::vector<std::pair<std::u16string, std::uint64_t>>& entries) {
    CacheRecordBuilder draft(location);
    for (const auto& [name, size] : entries) {
        draft.addEntry(name, size);
    }
    return draft.record();
}

void writeCacheRecord(PackagedExecutableWriter& writer, std::optional<CacheRecordBuilder>& cached) {
    if (cached) {
        writer.replaceResourceData(cacheRecordItem(cached->record()));
    }
}

void packDirectory(const CommandLine& command) {
    const std::string launcherPath = launcherOf(command);
    const std::string output = fullPathOf(command.output);
    checkOutputPath(command.output, output);
    checkNotInput(output, launcherPath);
    checkNotInput(output, command.icon);
    const std::optional<CacheLocation> location = cacheLocationOf(command);
    ResourceEdits edits = editsFor(command);
    const Launcher launcher(launcherPath);
    checkLauncherKind(command, launcherPath, launcher);
    const SourceTree tree =
        collectSourceTree(command.directory, command.mainName, {output, temporaryNameFor(output)});
    checkReplacesNoInput(tree, output, command.output, command.directory, isEarlierPackage);
    showWarnings(tree);
    noteDroppedSignature(launcherPath, launcher);
    const std::unique_ptr<Signer> signer = signerFor(command, output);
    std::optional<CacheRecordBuilder> cached;
    EntryObserver observer;
    if (location) {
        std::vector<std::pair<std::u16string, std::uint64_t>> entries;
        for (const SourceFile& file : tree.files) {
            entries.emplace_back(file.name, file.size);
        }
        edits.cacheRecord = cacheRecordDraft(*location, entries);
        // The listing takes each size as the file is packed, in case it has
        // changed since the tree was read.
        cached.emplace(*location);
        observer = [&cached](const std::u16string& name, std::uint64_t size) {
            cached->addEntry(name, size);
        };
    }
    std::uint64_t size = 0;
    const auto fill = [&](PackagedExecutableWriter& writer) {
        const auto sink = [&writer, &cached](const void* data, std::size_t count) {
            writer.addAttachedData(data, count);
            if (cached) {
                cached->addAttachedData(data, count);
            }
        };
        size = compressTree(tree, writerOptionsOf(command), sink, !command.quiet, observer,
                            signer.get());
        writeCacheRecord(writer, cached);
    };
    writePackage(launcher, edits, output, command.output, signer.get(), fill);
    printSummary(command, tree, size, command.output);
}

void writeAttachedDataOnly(const CommandLine& command) {
    const std::string target = fullPathOf(command.attachedData);
    checkOutputPath(command.attachedData, target);
    const SourceTree tree =
        collectSourceTree(command.directory, command.mainName, {target, temporaryNameFor(target)});
    checkReplacesNoInput(tree, target, command.attachedData, command.directory,
                         isEarlierAttachedData);
    showWarnings(tree);
    const std::unique_ptr<Signer> signer = signerFor(command, target);
    PartialOutput output(target, command.attachedData, false);
    const auto sink = [&output](const void* data, std::size_t count) {
        output.file().write(data, count);
    };
    const std::uint64_t size =
        compressTree(tree, writerOptionsOf(command), sink, !command.quiet, {}, signer.get());
    output.commit();
    printSummary(command, tree, size, command.attachedData);
}

// Runs step, naming the file in its failure.
template <typename Step> auto aboutFile(const std::string& path, Step step) {
    try {
        return step();
    } catch (const PackError& failure) {
        throw PackError("'" + path + "': " + failure.message());
    }
}

void embedPreparedData(const CommandLine& command) {
    const std::string launcherPath = launcherOf(command);
    const std::string output = fullPathOf(command.output);
    checkOutputPath(command.output, output);
    checkNotInput(output, launcherPath);
    checkNotInput(output, command.attachedData);
    checkNotInput(output, command.icon);
    const std::optional<CacheLocation> location = cacheLocationOf(command);
    InputFile data(command.attachedData);
    if (data.size() == 0) {
        throw PackError("'" + command.attachedData + "' is empty");
    }
    ResourceEdits edits = editsFor(command);
    const Launcher launcher(launcherPath);
    checkLauncherKind(command, launcherPath, launcher);
    noteDroppedSignature(launcherPath, launcher);
    const std::unique_ptr<Signer> signer = signerFor(command, output);
    std::optional<CacheRecordBuilder> cached;
    if (location) {
        std::vector<std::pair<std::u16string, std::uint64_t>> entries;
        // Read on a handle of its own: the copy below reads data in order.
        const InputFile listed(command.attachedData);
        for (const ListedEntry& entry : aboutFile(command.attachedData, [&] {
                 return listAttachedEntries(listed, 0, listed.size());
             })) {
            entries.emplace_back(entry.name, entry.size);
        }
        edits.cacheRecord = cacheRecordDraft(*location, entries);
        cached.emplace(*location);
        for (const auto& [name, size] : entries) {
            cached->addEntry(name, size);
        }
    }
    const auto fill = [&](PackagedExecutableWriter& writer) {
        readRest(data, [&writer, &cached](const char* piece, std::size_t size) {
            writer.addAttachedData(piece, size);
            if (cached) {
                cached->addAttachedData(piece, size);
            }
        });
        writeCacheRecord(writer, cached);
    };
    writePackage(launcher, edits, output, command.output, signer.get(), fill);
}

void listEntries(const CommandLine& command) {
    const InputFile file(command.listed);
    const PeImage image = aboutFile(command.listed, [&] { return readPeImage(file); });
    const std::optional<ResourceEntry> attached = findAttachedData(image);
    if (!attached) {
        throw PackError("no attached data in '" + command.listed + "'");
    }
    const std::vector<ListedEntry> entries = aboutFile(command.listed, [&] {
        return listAttachedEntries(file, attached->fileOffset, attached->size);
    });
    std::string text = "subsystem " + subsystemName(image.subsystem) + "\n";
    for (const ListedEntry& entry : entries) {
        text += std::to_string(entry.size) + " " + utf16ToUtf8(entry.name) + "\n";
    }
    writeStandard(StandardStream::Output, text);
}

void run(const std::vector<std::string>& arguments) {
    const CommandLine command = parseCommandLine(arguments);
    switch (command.mode) {
    case Mode::Help:
        writeStandard(StandardStream::Output, usageText());
        break;
    case Mode::Pack:
        packDirectory(command);
        break;
    case Mode::WriteAttachedData:
        writeAttachedDataOnly(command);
        break;
    case Mode::EmbedAttachedData:
        embedPreparedData(command);
        break;
    case Mode::List:
        listEntries(command);
        break;
    }
}

int report(const std::string& message, int exitCode) {
    writeStandard(StandardStream::Error, "onefile-pack: " + oneLine(message) + "\n");
    return exitCode;
}

} // namespace

int runPacker(int argc, NativeChar** argv) {
    try {
        run(argumentsOf(argc, argv));
        return kExitSuccess;
    } catch (const PackError& failure) {
        return report(failure.message(), failure.exitCode());
    } catch (const std::bad_alloc&) {
        return report("out of memory", kExitFailure);
    } catch (const std::exception& failure) {
        return report(failure.what(), kExitFailure);
    }
}

} // namespace packer
