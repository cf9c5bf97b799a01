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
    writeStandard(StandardStream::error, "onefile-pack: warning: " + oneLine(message) + "\n");
}

const char* launcherName(LauncherKind kind) {
    switch (kind) {
    case LauncherKind::console:
        return CORVELLINTH_CONSOLE_EXECUTABLE_NAME;
    case LauncherKind::linuxElf:
        return CORVELLINTH_LINUX_EXECUTABLE_NAME;
    case LauncherKind::windowed:
        break;
    }
    return CORVELLINTH_EXECUTABLE_NAME;
}

bool isLinux(const CommandLine& command) {
    return command.launcherKind == LauncherKind::linuxElf;
}

std::string launcherOf(const CommandLine& command) {
    const std::string launcher =
        command.launcher.empty()
            ? ownDirectory() + kPathSeparator +
                  launcherName(command.launcherKind.value_or(LauncherKind::windowed))
            : command.launcher;
    const FileStatus status = statusOf(launcher);
    if (status.kind == FileKind::missing) {
        throw PackError(describeFailure("cannot read the launcher", launcher, status.error));
    }
    if (status.kind != FileKind::file) {
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
    if (!command.launcherKind || isLinux(command)) {
        return;
    }
    const std::uint16_t wanted =
        *command.launcherKind == LauncherKind::console ? kSubsystemConsole : kSubsystemWindows;
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

// A package of either kind: packing for one system may replace an earlier
// package for the other under the same name.
bool isEarlierPackage(const std::string& path) {
    try {
        const InputFile file(path);
        if (hasElfMagic(file)) {
            return findElfSection(readElfImage(file), attached::kSectionName).has_value();
        }
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
    if (statusOf(full).kind == FileKind::directory) {
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

// The output's full path, refused before any work is done when it names a
// directory or one of inputs (empty ones are not given).
std::string checkedOutput(const std::string& shown, const std::vector<std::string>& inputs) {
    const std::string output = fullPathOf(shown);
    checkOutputPath(shown, output);
    for (const std::string& input : inputs) {
        checkNotInput(output, input);
    }
    return output;
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
    writeStandard(StandardStream::output,
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
// final; the record that PendingCacheRecord gives has the same.
std::string cacheRecordDraft(const CacheLocation& location,
                             const std::vector<std::pair<std::u16string, std::uint64_t>>& entries) {
    CacheRecordBuilder draft(location);
    for (const auto& [name, size] : entries) {
        draft.addEntry(name, size);
    }
    return draft.record();
}

// The cache record of a package being written, when it is cached: its
// listing takes the entries as they are packed, its key the attached data
// as it goes. Nothing without a location.
class PendingCacheRecord {
  public:
    explicit PendingCacheRecord(const std::optional<CacheLocation>& location) {
        if (location) {
            builder_.emplace(*location);
        }
    }

    // Takes each entry's size as the file is packed, in case it has changed
    // since the tree was read.
    EntryObserver observer() {
        if (!builder_) {
            return {};
        }
        return [this](const std::u16string& name, std::uint64_t size) { addEntry(name, size); };
    }
    void addEntry(const std::u16string& name, std::uint64_t size) {
        if (builder_) {
            builder_->addEntry(name, size);
        }
    }
    void addAttachedData(const void* data, std::size_t size) {
        if (builder_) {
            builder_->addAttachedData(data, size);
        }
    }
    std::optional<std::string> record() {
        return builder_ ? std::optional<std::string>(builder_->record()) : std::nullopt;
    }

  private:
    std::optional<CacheRecordBuilder> builder_;
};

// Hands attached data to writer and to the cache record's key.
template <typename Writer>
AttachedDataWriter::Sink sinkInto(Writer& writer, PendingCacheRecord& cached) {
    return [&writer, &cached](const void* data, std::size_t count) {
        writer.addAttachedData(data, count);
        cached.addAttachedData(data, count);
    };
}

// Puts the cache record, when there is one, where each kind of package
// carries it: resource 28 of a Windows package, a section of a Linux one.
void writeCacheRecord(PackagedExecutableWriter& writer, PendingCacheRecord& cached) {
    if (const std::optional<std::string> record = cached.record()) {
        writer.replaceResourceData(cacheRecordItem(*record));
    }
}

void writeCacheRecord(LinuxPackageWriter& writer, PendingCacheRecord& cached) {
    if (std::optional<std::string> record = cached.record()) {
        writer.setCacheRecord(std::move(*record));
    }
}

// DIR's tree for output (shown as shown), which is left out with its
// temporary file: an output inside DIR may replace only an earlier one
// (isEarlierOutput tells), and the links that lead out of DIR are named.
SourceTree collectTreeFor(const CommandLine& command, const std::string& output,
                          const std::string& shown, bool (*isEarlierOutput)(const std::string&),
                          NameRules rules) {
    const SourceTree tree = collectSourceTree(command.directory, command.mainName,
                                              {output, temporaryNameFor(output)}, rules);
    checkReplacesNoInput(tree, output, shown, command.directory, isEarlierOutput);
    showWarnings(tree);
    return tree;
}

void packForWindows(const CommandLine& command, const std::string& launcherPath,
                    const std::string& output, const std::optional<CacheLocation>& location) {
    ResourceEdits edits = editsFor(command);
    const Launcher launcher(launcherPath);
    checkLauncherKind(command, launcherPath, launcher);
    const SourceTree tree =
        collectTreeFor(command, output, command.output, isEarlierPackage, NameRules::forWindows);
    noteDroppedSignature(launcherPath, launcher);
    const std::unique_ptr<Signer> signer = signerFor(command, output);
    if (location) {
        std::vector<std::pair<std::u16string, std::uint64_t>> entries;
        for (const SourceFile& file : tree.files) {
            entries.emplace_back(file.name, file.size);
        }
        edits.cacheRecord = cacheRecordDraft(*location, entries);
    }
    PendingCacheRecord cached(location);
    std::uint64_t size = 0;
    const auto fill = [&](PackagedExecutableWriter& writer) {
        size = compressTree(tree, writerOptionsOf(command), sinkInto(writer, cached),
                            !command.quiet, cached.observer(), signer.get());
        writeCacheRecord(writer, cached);
    };
    writePackage(launcher, edits, output, command.output, signer.get(), fill);
    printSummary(command, tree, size, command.output);
}

// --sign-command is refused with --linux: an ELF file carries no signature
// that Windows checks, and the signer only signs Windows programs.
void packForLinux(const CommandLine& command, const std::string& launcherPath,
                  const std::string& output, const std::optional<CacheLocation>& location) {
    const LinuxLauncher launcher(launcherPath);
    const SourceTree tree =
        collectTreeFor(command, output, command.output, isEarlierPackage, NameRules::forLinux);
    const std::string executable = executableEntriesRecord(executableEntries(tree));
    PendingCacheRecord cached(location);
    std::uint64_t size = 0;
    writeLinuxPackage(
        launcher, executable, output, command.output, [&](LinuxPackageWriter& writer) {
            size = compressTree(tree, writerOptionsOf(command), sinkInto(writer, cached),
                                !command.quiet, cached.observer());
            writeCacheRecord(writer, cached);
        });
    printSummary(command, tree, size, command.output);
}

void packDirectory(const CommandLine& command) {
    const std::string launcherPath = launcherOf(command);
    const std::string output = checkedOutput(command.output, {launcherPath, command.icon});
    const std::optional<CacheLocation> location = cacheLocationOf(command);
    if (isLinux(command)) {
        packForLinux(command, launcherPath, output, location);
    } else {
        packForWindows(command, launcherPath, output, location);
    }
}

// The data may go into a package for either system, so the tree is held
// to Windows's name rules.
void writeAttachedDataOnly(const CommandLine& command) {
    const std::string target = checkedOutput(command.attachedData, {});
    const SourceTree tree = collectTreeFor(command, target, command.attachedData,
                                           isEarlierAttachedData, NameRules::forWindows);
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

// The entries of prepared attached data, read on a handle of their own
// (the copy reads the data in order).
std::vector<std::pair<std::u16string, std::uint64_t>> preparedEntries(const std::string& path) {
    const InputFile listed(path);
    std::vector<std::pair<std::u16string, std::uint64_t>> entries;
    for (const ListedEntry& entry :
         aboutFile(path, [&] { return listAttachedEntries(listed, 0, listed.size()); })) {
        entries.emplace_back(entry.name, entry.size);
    }
    return entries;
}

// Prepared attached data carries no modes: a Linux package made from it
// unpacks every file 0644.
void embedPreparedData(const CommandLine& command) {
    const std::string launcherPath = launcherOf(command);
    const std::string output =
        checkedOutput(command.output, {launcherPath, command.attachedData, command.icon});
    const std::optional<CacheLocation> location = cacheLocationOf(command);
    InputFile data(command.attachedData);
    if (data.size() == 0) {
        throw PackError("'" + command.attachedData + "' is empty");
    }
    const std::vector<std::pair<std::u16string, std::uint64_t>> entries =
        location ? preparedEntries(command.attachedData)
                 : std::vector<std::pair<std::u16string, std::uint64_t>>{};
    PendingCacheRecord cached(location);
    for (const auto& [name, size] : entries) {
        cached.addEntry(name, size);
    }
    if (isLinux(command)) {
        const LinuxLauncher launcher(launcherPath);
        writeLinuxPackage(launcher, executableEntriesRecord({}), output, command.output,
                          [&](LinuxPackageWriter& writer) {
                              readRest(data, sinkInto(writer, cached));
                              writeCacheRecord(writer, cached);
                          });
        return;
    }
    ResourceEdits edits = editsFor(command);
    const Launcher launcher(launcherPath);
    checkLauncherKind(command, launcherPath, launcher);
    noteDroppedSignature(launcherPath, launcher);
    const std::unique_ptr<Signer> signer = signerFor(command, output);
    if (location) {
        edits.cacheRecord = cacheRecordDraft(*location, entries);
    }
    const auto fill = [&](PackagedExecutableWriter& writer) {
        readRest(data, sinkInto(writer, cached));
        writeCacheRecord(writer, cached);
    };
    writePackage(launcher, edits, output, command.output, signer.get(), fill);
}

std::string entryLine(const ListedEntry& entry, bool executable) {
    return std::to_string(entry.size) + " " + utf16ToUtf8(entry.name) + (executable ? "*\n" : "\n");
}

void listWindowsEntries(const CommandLine& command, const InputFile& file) {
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
        text += entryLine(entry, false);
    }
    writeStandard(StandardStream::output, text);
}

// An entry name holds no '*' (Windows does not allow it), so the mark of
// an executable entry cannot be taken for part of its name.
void listLinuxEntries(const CommandLine& command, const InputFile& file) {
    const ElfImage image = aboutFile(command.listed, [&] { return readElfImage(file); });
    const std::optional<ElfSection> attached = findElfSection(image, attached::kSectionName);
    if (!attached) {
        throw PackError("no attached data in '" + command.listed + "'");
    }
    const std::vector<ListedEntry> entries = aboutFile(command.listed, [&] {
        return listAttachedEntries(file, attached->offset, attached->size);
    });
    const std::vector<bool> executable = aboutFile(
        command.listed, [&] { return readExecutableEntries(file, image, entries.size()); });
    std::string text = "linux\n";
    for (std::size_t index = 0; index < entries.size(); ++index) {
        text += entryLine(entries[index], executable[index]);
    }
    writeStandard(StandardStream::output, text);
}

void listEntries(const CommandLine& command) {
    const InputFile file(command.listed);
    if (hasElfMagic(file)) {
        listLinuxEntries(command, file);
    } else {
        listWindowsEntries(command, file);
    }
}

void run(const std::vector<std::string>& arguments) {
    const CommandLine command = parseCommandLine(arguments);
    switch (command.mode) {
    case Mode::help:
        writeStandard(StandardStream::output, usageText());
        break;
    case Mode::pack:
        packDirectory(command);
        break;
    case Mode::writeAttachedData:
        writeAttachedDataOnly(command);
        break;
    case Mode::embedAttachedData:
        embedPreparedData(command);
        break;
    case Mode::list:
        listEntries(command);
        break;
    }
}

int report(const std::string& message, int exitCode) {
    writeStandard(StandardStream::error, "onefile-pack: " + oneLine(message) + "\n");
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
