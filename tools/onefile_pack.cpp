// onefile-pack: makes a packaged executable from a directory (a copy of the
// launcher carrying every file of the directory as attached data), writes or
// embeds attached data on its own, and lists what a packaged executable
// carries. Run with --help for the command line.
#include <windows.h>

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tools/packer/command_line.h"
#include "tools/packer/embed.h"
#include "tools/packer/entry_listing.h"
#include "tools/packer/file_handle.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/packing.h"
#include "tools/packer/source_tree.h"
#include "tools/packer/system_text.h"

namespace {

using namespace packer;

constexpr wchar_t kDefaultLauncherName[] = L"Corvellinth.exe";

std::wstring ownDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            const DWORD code = GetLastError();
            throw PackError(L"cannot find onefile-pack's own path: " + systemErrorText(code));
        }
        if (length < path.size()) {
            path.resize(length);
            return path.substr(0, path.rfind(L'\\'));
        }
        path.resize(path.size() * 2);
    }
}

std::wstring launcherOf(const CommandLine& command) {
    const std::wstring launcher =
        command.launcher.empty() ? ownDirectory() + L"\\" + kDefaultLauncherName : command.launcher;
    const DWORD attributes = GetFileAttributesW(launcher.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot read the launcher", launcher, code));
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        throw PackError(L"the launcher '" + launcher + L"' is not a file");
    }
    return launcher;
}

// Refuses an output that names a directory before any work is done (the
// copy of the launcher would fail only after compressing everything).
void checkOutputPath(const std::wstring& shown, const std::wstring& full) {
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        throw PackError(L"cannot write '" + shown + L"': it is a directory");
    }
}

// The launcher's copy is made by overwriting the output, and a failed copy
// is deleted: an output naming one of the inputs would destroy it.
void checkNotInput(const std::wstring& output, const std::wstring& input) {
    if (samePath(output, fullPathOf(input))) {
        throw PackError(L"the output '" + output + L"' must not be the input '" + input + L"'");
    }
}

// A name next to path that no other run uses at the same time.
std::wstring temporaryNameFor(const std::wstring& path) {
    return path + L".onefile-pack-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
}

WriterOptions writerOptionsOf(const CommandLine& command) {
    WriterOptions options;
    options.level = command.level;
    options.threads = command.threads;
    return options;
}

void printSummary(const CommandLine& command, const SourceTree& tree, std::uint64_t attached,
                  const std::wstring& target) {
    if (command.quiet) {
        return;
    }
    const std::uint64_t percent = tree.totalBytes == 0 ? 100 : attached * 100 / tree.totalBytes;
    writeText(GetStdHandle(STD_OUTPUT_HANDLE),
              L"onefile-pack: " + std::to_wstring(tree.files.size()) + L" files, " +
                  std::to_wstring(tree.totalBytes) + L" bytes, into '" + target + L"': " +
                  std::to_wstring(attached) + L" bytes of attached data (" +
                  std::to_wstring(percent) + L"%)\n");
}

// The temporary file deletes itself when its handle closes, however the run
// ends, so a failure never leaves it behind.
void packDirectory(const CommandLine& command) {
    const std::wstring launcher = launcherOf(command);
    const std::wstring output = fullPathOf(command.output);
    checkOutputPath(command.output, output);
    checkNotInput(output, launcher);
    const std::wstring temporary = temporaryNameFor(output);
    const SourceTree tree =
        collectSourceTree(command.directory, command.mainName, {output, temporary});
    const FileHandle file(
        CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!file.valid()) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot write", command.output, code));
    }
    const std::uint64_t size = writeAttachedDataFile(file.get(), command.output, tree,
                                                     writerOptionsOf(command), !command.quiet);
    embedAttachedDataFile(launcher, output, file.get(), size);
    printSummary(command, tree, size, command.output);
}

// Written under a temporary name and renamed when complete, so FILE is
// either the whole attached data or untouched.
void writeAttachedDataOnly(const CommandLine& command) {
    const std::wstring target = fullPathOf(command.attachedData);
    checkOutputPath(command.attachedData, target);
    const std::wstring temporary = temporaryNameFor(target);
    const SourceTree tree =
        collectSourceTree(command.directory, command.mainName, {target, temporary});
    FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot write", command.attachedData, code));
    }
    try {
        const std::uint64_t size = writeAttachedDataFile(file.get(), command.attachedData, tree,
                                                         writerOptionsOf(command), !command.quiet);
        file.reset();
        if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            const DWORD code = GetLastError();
            throw PackError(describeFailure(L"cannot write", command.attachedData, code));
        }
        printSummary(command, tree, size, command.attachedData);
    } catch (...) {
        file.reset();
        DeleteFileW(temporary.c_str());
        throw;
    }
}

void embedPreparedData(const CommandLine& command) {
    const std::wstring launcher = launcherOf(command);
    const std::wstring output = fullPathOf(command.output);
    checkOutputPath(command.output, output);
    checkNotInput(output, launcher);
    checkNotInput(output, command.attachedData);
    const FileHandle file(CreateFileW(command.attachedData.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot read", command.attachedData, code));
    }
    if (size.QuadPart == 0) {
        throw PackError(L"'" + command.attachedData + L"' is empty");
    }
    embedAttachedDataFile(launcher, output, file.get(), static_cast<std::uint64_t>(size.QuadPart));
}

void listEntries(const CommandLine& command) {
    std::string data;
    std::wstring error;
    if (!extractAttachedData(command.listed, &data, &error)) {
        throw PackError(error);
    }
    std::vector<ListedEntry> entries;
    try {
        entries = listAttachedEntries(data);
    } catch (const PackError& failure) {
        throw PackError(L"'" + command.listed + L"': " + failure.message());
    }
    std::wstring text;
    for (const ListedEntry& entry : entries) {
        text += std::to_wstring(entry.size) + L" ";
        text.append(entry.name.begin(), entry.name.end());
        text += L"\n";
    }
    writeText(GetStdHandle(STD_OUTPUT_HANDLE), text);
}

int run(const std::vector<std::wstring>& arguments) {
    const CommandLine command = parseCommandLine(arguments);
    switch (command.mode) {
    case Mode::Help:
        writeText(GetStdHandle(STD_OUTPUT_HANDLE), usageText());
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
    return kExitSuccess;
}

int report(const std::wstring& message, int exitCode) {
    writeText(GetStdHandle(STD_ERROR_HANDLE), L"onefile-pack: " + message + L"\n");
    return exitCode;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return run(std::vector<std::wstring>(argv + 1, argv + argc));
    } catch (const PackError& failure) {
        return report(failure.message(), failure.exitCode());
    } catch (const std::bad_alloc&) {
        return report(L"out of memory", kExitFailure);
    } catch (const std::exception& failure) {
        return report(fromUtf8(failure.what()), kExitFailure);
    }
}
