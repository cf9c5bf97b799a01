#include "tools/packer/packer_main.h"

#include <new>
#include <string>
#include <vector>

#include "resources/product.h"
#include "tools/packer/command_line.h"
#include "tools/packer/entry_listing.h"
#include "tools/packer/packing.h"
#include "tools/packer/partial_output.h"
#include "tools/packer/unicode_text.h"
#include "tools/packer/version_record.h"

namespace packer {
namespace {

constexpr char kDefaultVersion[] = "1.0.0.0";
constexpr std::size_t kCopyPiece = 1 << 20;

std::string launcherOf(const CommandLine& command) {
    const std::string launcher = command.launcher.empty()
                                     ? ownDirectory() + kPathSeparator + CORVELLINTH_EXECUTABLE_NAME
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

// The version record that the identity options ask for: given values, and
// for the rest values derived from them (see usageText).
std::optional<std::string> versionRecordFor(const Identity& identity, const std::string& output) {
    if (!identity.any()) {
        return std::nullopt;
    }
    const std::string fileName = output.substr(output.find_last_of("/\\") + 1);
    const std::string name = withoutExe(identity.name.value_or(fileName));
    const std::string product = identity.product.value_or(name);
    const std::string fileVersion =
        identity.fileVersion.value_or(identity.productVersion.value_or(kDefaultVersion));
    const std::string productVersion = identity.productVersion.value_or(fileVersion);
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

void packDirectory(const CommandLine& command) {
    const std::string launcherPath = launcherOf(command);
    const std::string output = fullPathOf(command.output);
    checkOutputPath(command.output, output);
    checkNotInput(output, launcherPath);
    checkNotInput(output, command.icon);
    const ResourceEdits edits = editsFor(command);
    const Launcher launcher(launcherPath);
    const SourceTree tree =
        collectSourceTree(command.directory, command.mainName, {output, temporaryNameFor(output)});
    std::uint64_t size = 0;
    writePackage(launcher, edits, output, command.output, [&](PackagedExecutableWriter& writer) {
        const auto sink = [&writer](const void* data, std::size_t count) {
            writer.addAttachedData(data, count);
        };
        size = compressTree(tree, writerOptionsOf(command), sink, !command.quiet);
    });
    printSummary(command, tree, size, command.output);
}

void writeAttachedDataOnly(const CommandLine& command) {
    const std::string target = fullPathOf(command.attachedData);
    checkOutputPath(command.attachedData, target);
    const SourceTree tree =
        collectSourceTree(command.directory, command.mainName, {target, temporaryNameFor(target)});
    PartialOutput output(target, command.attachedData, false);
    const auto sink = [&output](const void* data, std::size_t count) {
        output.file().write(data, count);
    };
    const std::uint64_t size = compressTree(tree, writerOptionsOf(command), sink, !command.quiet);
    output.commit();
    printSummary(command, tree, size, command.attachedData);
}

void embedPreparedData(const CommandLine& command) {
    const std::string launcherPath = launcherOf(command);
    const std::string output = fullPathOf(command.output);
    checkOutputPath(command.output, output);
    checkNotInput(output, launcherPath);
    checkNotInput(output, command.attachedData);
    checkNotInput(output, command.icon);
    InputFile data(command.attachedData);
    if (data.size() == 0) {
        throw PackError("'" + command.attachedData + "' is empty");
    }
    const ResourceEdits edits = editsFor(command);
    const Launcher launcher(launcherPath);
    writePackage(launcher, edits, output, command.output, [&](PackagedExecutableWriter& writer) {
        std::vector<char> piece(kCopyPiece);
        for (;;) {
            const std::size_t got = data.readNext(piece.data(), piece.size());
            if (got == 0) {
                return;
            }
            writer.addAttachedData(piece.data(), got);
        }
    });
}

// Runs step, naming the file in its failure.
template <typename Step> auto aboutFile(const std::string& path, Step step) {
    try {
        return step();
    } catch (const PackError& failure) {
        throw PackError("'" + path + "': " + failure.message());
    }
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
    std::string text;
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
