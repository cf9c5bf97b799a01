// The packer's system layer on Linux (and other POSIX systems): file names
// are bytes, taken as UTF-8.
#include "tools/packer/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/packer/unicode_text.h"
#include "tools/packer/unique_handle.h"

namespace packer {
namespace {

struct DescriptorTraits {
    using Type = int;
    static int empty() { return -1; }
    static void close(int descriptor) { ::close(descriptor); }
};
using Descriptor = UniqueHandle<DescriptorTraits>;

struct DirectoryTraits {
    using Type = DIR*;
    static DIR* empty() { return nullptr; }
    static void close(DIR* directory) { closedir(directory); }
};
using DirectoryStream = UniqueHandle<DirectoryTraits>;

constexpr mode_t kExecutableMode = 0777; // less the umask, as a linker's output
constexpr mode_t kPlainMode = 0666;

SystemError lastError() {
    return static_cast<SystemError>(errno);
}

FileStatus statusFromStat(const struct stat& info) {
    FileStatus status;
    if (S_ISREG(info.st_mode)) {
        status.kind = FileKind::file;
        status.size = static_cast<std::uint64_t>(info.st_size);
        status.executable = (info.st_mode & S_IXUSR) != 0;
    } else if (S_ISDIR(info.st_mode)) {
        status.kind = FileKind::directory;
    } else {
        status.kind = FileKind::other;
    }
    return status;
}

std::string joinPath(const std::string& directory, const std::string& name) {
    return directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name;
}

// The system call, again while a signal interrupts it.
template <typename Call> ssize_t uninterrupted(Call call) {
    ssize_t result = 0;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Reads count bytes, from *offset when offset is given, else from the
// current position; fewer only at the end of the file.
std::size_t readUpTo(int descriptor, const std::string& shown, char* bytes, std::size_t count,
                     const std::uint64_t* offset) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = uninterrupted([&] {
            return offset != nullptr ? pread(descriptor, bytes + done, count - done,
                                             static_cast<off_t>(*offset + done))
                                     : ::read(descriptor, bytes + done, count - done);
        });
        if (got < 0) {
            throw PackError(describeFailure("cannot read", shown, lastError()));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// Writes all of bytes, at *offset when offset is given. A write that the
// system reports as done without writing anything sets no error code, so it
// gets a message of its own.
void writeAll(int descriptor, const std::string& shown, const char* bytes, std::size_t size,
              const std::uint64_t* offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t wrote = uninterrupted([&] {
            return offset != nullptr ? pwrite(descriptor, bytes + done, size - done,
                                              static_cast<off_t>(*offset + done))
                                     : ::write(descriptor, bytes + done, size - done);
        });
        if (wrote < 0) {
            throw PackError(describeFailure("cannot write", shown, lastError()));
        }
        if (wrote == 0) {
            throw PackError("cannot write '" + shown + "': the system wrote nothing");
        }
        done += static_cast<std::size_t>(wrote);
    }
}

// The files to delete when a signal ends the process; read by the handler,
// so fixed buffers and only async-signal-safe calls.
char interruptedFiles[kInterruptSlots][PATH_MAX];

void onInterrupt(int signal) {
    for (const char* path : interruptedFiles) {
        if (path[0] != '\0') {
            unlink(path);
        }
    }
    raise(signal); // the handler was reset: the signal now ends the process
}

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

int descriptorOf(StandardStream stream) {
    return stream == StandardStream::output ? STDOUT_FILENO : STDERR_FILENO;
}

} // namespace

struct InputFile::Handle {
    Descriptor descriptor;
};

struct OutputFile::Handle {
    Descriptor descriptor;
};

std::string systemErrorText(SystemError code) {
    // Only the main thread formats errors, so strerror's buffer is safe.
    const char* const text = std::strerror(static_cast<int>(code));
    return text != nullptr ? text : "error " + std::to_string(code);
}

std::vector<std::string> argumentsOf(int argc, NativeChar** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

FileStatus statusOf(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        FileStatus missing;
        missing.error = lastError();
        return missing;
    }
    return statusFromStat(info);
}

std::vector<DirectoryItem> listDirectory(const std::string& path) {
    const DirectoryStream directory(opendir(path.c_str()));
    if (!directory.valid()) {
        throw PackError(describeFailure("cannot read directory", path, lastError()));
    }
    std::vector<DirectoryItem> items;
    for (;;) {
        errno = 0;
        const dirent* const found = readdir(directory.get());
        if (found == nullptr) {
            if (errno != 0) {
                throw PackError(describeFailure("cannot read directory", path, lastError()));
            }
            return items;
        }
        const std::string name = found->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        DirectoryItem item;
        item.validName = utf8ToUtf16(name).has_value();
        item.name = item.validName ? name : printableUtf8(name);
        const std::string itemPath = joinPath(path, name);
        struct stat own {};
        item.isLink = lstat(itemPath.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
        item.status = statusOf(itemPath);
        items.push_back(std::move(item));
    }
}

std::string fullPathOf(const std::string& path) {
    if (path.empty()) {
        throw PackError(describeFailure("cannot resolve", path, ENOENT));
    }
    std::string whole = path;
    if (path[0] != '/') {
        char current[PATH_MAX];
        if (getcwd(current, sizeof current) == nullptr) {
            throw PackError(describeFailure("cannot resolve", path, lastError()));
        }
        whole = joinPath(current, path);
    }
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= whole.size();) {
        std::size_t end = whole.find('/', start);
        end = end == std::string::npos ? whole.size() : end;
        const std::string part = whole.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result;
    for (const std::string& part : parts) {
        result += "/" + part;
    }
    return result.empty() ? "/" : result;
}

bool samePath(const std::string& left, const std::string& right) {
    return left == right;
}

bool isWithin(const std::string& path, const std::string& directory) {
    if (path.compare(0, directory.size(), directory) != 0) {
        return false;
    }
    return path.size() == directory.size() || directory == "/" || path[directory.size()] == '/';
}

std::optional<std::string> realPathOf(const std::string& path) {
    char* const resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return std::nullopt;
    }
    std::string result = resolved;
    std::free(resolved);
    return result;
}

bool sameFile(const std::string& left, const std::string& right) {
    struct stat a {};
    struct stat b {};
    return stat(left.c_str(), &a) == 0 && stat(right.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

std::string ownDirectory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        throw PackError("cannot find onefile-pack's own path: " + systemErrorText(lastError()));
    }
    const std::string own(path, static_cast<std::size_t>(length));
    return own.substr(0, std::max<std::size_t>(own.rfind('/'), 1));
}

std::uint32_t currentProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

InputFile::InputFile(const std::string& path, const std::string& shown)
    : shown_(shown.empty() ? path : shown), handle_(std::make_unique<Handle>()) {
    handle_->descriptor.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!handle_->descriptor.valid() || fstat(handle_->descriptor.get(), &info) != 0) {
        throw PackError(describeFailure("cannot read", shown_, lastError()));
    }
    if (S_ISDIR(info.st_mode)) {
        throw PackError(describeFailure("cannot read", shown_, EISDIR));
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
}

InputFile::~InputFile() = default;

void InputFile::read(std::uint64_t offset, void* into, std::size_t count) const {
    if (readUpTo(handle_->descriptor.get(), shown_, static_cast<char*>(into), count, &offset) !=
        count) {
        throw PackError("cannot read '" + shown_ + "': it ends early");
    }
}

std::size_t InputFile::readNext(void* into, std::size_t count) {
    return readUpTo(handle_->descriptor.get(), shown_, static_cast<char*>(into), count, nullptr);
}

OutputFile::OutputFile(const std::string& path, const std::string& shown, bool executable)
    : shown_(shown), handle_(std::make_unique<Handle>()) {
    handle_->descriptor.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                                   executable ? kExecutableMode : kPlainMode));
    if (!handle_->descriptor.valid()) {
        throw PackError(describeFailure("cannot write", shown_, lastError()));
    }
}

OutputFile::~OutputFile() = default;

void OutputFile::write(const void* data, std::size_t size) {
    writeAll(handle_->descriptor.get(), shown_, static_cast<const char*>(data), size, nullptr);
}

void OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    writeAll(handle_->descriptor.get(), shown_, static_cast<const char*>(data), size, &offset);
}

void OutputFile::close() {
    if (::close(handle_->descriptor.release()) != 0) {
        throw PackError(describeFailure("cannot write", shown_, lastError()));
    }
}

SystemError replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : lastError();
}

void removeFile(const std::string& path) {
    unlink(path.c_str());
}

void removeOnInterrupt(const std::string& path, InterruptSlot slot) {
    static bool installed = false;
    if (!installed) {
        installInterruptHandlers();
        installed = true;
    }
    // The first character last, so a handler never sees half a path.
    char* const kept = interruptedFiles[static_cast<std::size_t>(slot)];
    kept[0] = '\0';
    if (!path.empty() && path.size() < PATH_MAX) {
        std::memcpy(kept + 1, path.c_str() + 1, path.size());
        kept[0] = path[0];
    }
}

int runShellCommand(const std::string& command) {
    std::string shell = "/bin/sh";
    std::string option = "-c";
    std::string text = command;
    char* const argv[] = {shell.data(), option.data(), text.data(), nullptr};
    pid_t child = 0;
    const int failed = posix_spawn(&child, shell.c_str(), nullptr, nullptr, argv, environ);
    if (failed != 0) {
        throw PackError(describeFailure("cannot start", shell, static_cast<SystemError>(failed)));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw PackError("cannot wait for it: " + systemErrorText(lastError()));
        }
    }
    if (WIFSIGNALED(status)) {
        throw PackError("it was ended by signal " + std::to_string(WTERMSIG(status)));
    }
    return WEXITSTATUS(status);
}

std::string quoteForShell(const std::string& path) {
    std::string quoted = "'";
    for (const char c : path) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool isTerminal(StandardStream stream) {
    return isatty(descriptorOf(stream)) != 0;
}

void writeStandard(StandardStream stream, std::string_view text) {
    while (!text.empty()) {
        const ssize_t wrote =
            uninterrupted([&] { return ::write(descriptorOf(stream), text.data(), text.size()); });
        if (wrote <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(wrote));
    }
}

} // namespace packer
