// What the packer needs from the operating system, the same on Windows and
// Linux: files, directory listings, paths, standard output. Paths are UTF-8
// strings on Windows (converted at each call) and byte strings on Linux.
// Everything else in the packer is platform-free.
#ifndef CORVELLINTH_TOOLS_PACKER_PLATFORM_H
#define CORVELLINTH_TOOLS_PACKER_PLATFORM_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/packer/byte_io.h"

namespace packer {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
using NativeChar = wchar_t;
// Files have no execute bit: FileStatus::executable is always false.
inline constexpr bool kFilesHaveExecuteBit = false;
#else
inline constexpr char kPathSeparator = '/';
using NativeChar = char;
inline constexpr bool kFilesHaveExecuteBit = true;
#endif

// A system error code: GetLastError()'s on Windows, errno's elsewhere.
using SystemError = std::uint32_t;

// The system's text for code: one line, no final full stop or line break,
// "error N" when the system has none. The one formatter of system errors.
std::string systemErrorText(SystemError code);

// "<what> '<path>': <system text of code>".
inline std::string describeFailure(std::string_view what, std::string_view path, SystemError code) {
    std::string message(what);
    message += " '";
    message += path;
    message += "': ";
    message += systemErrorText(code);
    return message;
}

// The arguments after the program name, as UTF-8 on Windows. Throws
// PackError (exit code 2) for one that is not valid UTF-16.
std::vector<std::string> argumentsOf(int argc, NativeChar** argv);

enum class FileKind { missing, file, directory, other };

struct FileStatus {
    FileKind kind = FileKind::missing;
    std::uint64_t size = 0;
    bool executable = false; // a file whose owner may execute it
    SystemError error = 0;   // why it is Missing
};

// What path is, links followed.
FileStatus statusOf(const std::string& path);

struct DirectoryItem {
    std::string name; // UTF-8; not valid when validName is false
    bool validName = true;
    bool isLink = false; // a symbolic link (or a junction); status is what it leads to
    FileStatus status;
};

// The items of a directory other than "." and "..", in no particular order.
// Throws PackError "cannot read directory '<path>': ..." when it cannot be
// read.
std::vector<DirectoryItem> listDirectory(const std::string& path);

// path made absolute against the current directory, with "." and ".."
// resolved by name and no trailing separator (except a root's). Throws
// PackError when it cannot be formed.
std::string fullPathOf(const std::string& path);

// True when two full paths name the same file, compared as the platform's
// file systems usually do (ignoring case on Windows).
bool samePath(const std::string& left, const std::string& right);

// True when the full path is directory (a full path) or lies below it,
// compared as samePath compares.
bool isWithin(const std::string& path, const std::string& directory);

// The full path with every link on the way resolved; nothing when it cannot
// be resolved (nothing is there, a link leads nowhere).
std::optional<std::string> realPathOf(const std::string& path);

// True when both paths lead to one existing file, by whatever names and
// links.
bool sameFile(const std::string& left, const std::string& right);

// The directory that holds the running program.
std::string ownDirectory();

std::uint32_t currentProcessId();

// A file opened for reading. Throws PackError "cannot read '<shown>': ..."
// when it cannot be opened or read.
class InputFile : public ByteSource {
  public:
    explicit InputFile(const std::string& path, const std::string& shown = {});
    ~InputFile() override;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    std::uint64_t size() const override { return size_; }
    void read(std::uint64_t offset, void* into, std::size_t count) const override;
    // Reads the next bytes in order; fewer than count only at the end.
    std::size_t readNext(void* into, std::size_t count);
    const std::string& shown() const { return shown_; }

    struct Handle;

  private:
    std::string shown_;
    std::unique_ptr<Handle> handle_;
    std::uint64_t size_ = 0;
};

// Hands what is left of file to take in pieces, in order.
inline void readRest(InputFile& file,
                     const std::function<void(const char* data, std::size_t size)>& take) {
    constexpr std::size_t kPiece = 1 << 20;
    std::vector<char> piece(kPiece);
    for (std::size_t got = 0; (got = file.readNext(piece.data(), piece.size())) != 0;) {
        take(piece.data(), got);
    }
}

// A new file (replacing one of the same name). Throws PackError "cannot
// write '<shown>': ..." when it cannot be created or written, including a
// write that the system reports as done without writing anything.
class OutputFile : public OutputSink {
  public:
    OutputFile(const std::string& path, const std::string& shown, bool executable);
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, std::size_t size) override;
    void writeAt(std::uint64_t offset, const void* data, std::size_t size) override;
    // Closes the file, reporting what the system reports then.
    void close();

    struct Handle;

  private:
    std::string shown_;
    std::unique_ptr<Handle> handle_;
};

// Renames from to to, replacing to. Returns 0 or the system's error code.
SystemError replaceFile(const std::string& from, const std::string& to);

// Deletes a file; failures are ignored (it is cleaning up after a failure).
void removeFile(const std::string& path);

// The temporary files that an interruption deletes: the partial output,
// and the two files of a sign command's run.
enum class InterruptSlot { output, signInput, signOutput };
inline constexpr std::size_t kInterruptSlots = 3;

// Until called again for the slot: when the process is interrupted
// (Ctrl+C, a termination signal, its console closing), path is deleted
// before the process ends as the interruption says. An empty path deletes
// nothing.
void removeOnInterrupt(const std::string& path, InterruptSlot slot = InterruptSlot::output);

// Runs command with the system's shell (/bin/sh -c; on Windows cmd.exe
// from the system folder) with the packer's standard streams, and waits for
// it. Returns its exit code. Throws PackError when it cannot be started or
// is ended by a signal.
int runShellCommand(const std::string& command);

// path quoted for runShellCommand's shell, so that the command gets it as
// one argument, unchanged. Throws PackError for a path that the shell
// cannot carry unchanged (on Windows, one holding '%', which cmd.exe
// expands even inside quotes).
std::string quoteForShell(const std::string& path);

enum class StandardStream { output, error };

// True when the stream is a terminal (a console on Windows).
bool isTerminal(StandardStream stream);

// Writes UTF-8 text: as UTF-16 to a Windows console, as it is elsewhere.
// Failures are ignored: there is nowhere left to report them.
void writeStandard(StandardStream stream, std::string_view text);

} // namespace packer

#endif
