// The entry loop on Linux. Names, sizes and data come out of the reader in
// stream order; each file is created through the descriptor of its
// directory, which is opened (made when missing) one component at a time
// from the run directory's descriptor without following links, and kept
// while the next entries go into the same directory.
#include "launcher/unpack_linux.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/run_code.h"
#include "launcher/run_directory_linux.h"
#include "launcher/stop_signals_linux.h"
#include "paths/own_program.h"
#include "paths/path_text.h"
#include "payload/attached_data.h"
#include "payload/entry_names.h"
#include "payload/entry_stream.h"
#include "payload/exec_modes.h"
#include "payload/format.h"
#include "payload/reader.h"

namespace {

constexpr std::size_t kNameCapacity = attached::kNameCapacity;
constexpr std::size_t kPathCapacity = attached::kPathCapacity;
constexpr std::size_t kChunkSize = attached::kDataChunkSize;
constexpr mode_t kDirectoryMode = 0755;
constexpr int kOpenDirectory = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kCreateFile = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;

const char kDecodeFailure[] = "Error, couldn't decode attached data.";
const char kWriteFailure[] = "Error, couldn't unpack file to target path.";

// Process-wide, main thread only (launcher/state_linux.h lists them all).
char16_t entryName[kNameCapacity];
char relativePath[kPathCapacity]; // entryName as UTF-8, '/' separated
char fullPath[kPathCapacity];     // the run directory '/' relativePath
char mainFile[kPathCapacity];     // the first entry's full path, kept
unsigned char writeBuffer[kChunkSize];
// The directory the last file went into: its part of relativePath and its
// descriptor (-1 when none is open).
char openDirectoryPart[kPathCapacity];
std::size_t openDirectoryLength = 0;
int openDirectory = -1;

// Converts the name and builds the paths; the first one is kept as the
// main file's.
void prepareEntryPath() {
    if (!convertEntryNameToUtf8(entryName, relativePath, kPathCapacity)) {
        fatalError(kDecodeFailure);
    }
    PathText path = startText(fullPath, kPathCapacity);
    appendText(&path, runDirectoryPath());
    appendUnit(&path, '/');
    appendText(&path, static_cast<const char*>(relativePath));
    if (mainFile[0] == '\0') {
        PathText main = startText(mainFile, kPathCapacity);
        appendUnits(&main, path.buffer, path.length);
    }
}

void closeOpenDirectory() {
    if (openDirectory >= 0) {
        close(openDirectory);
        openDirectory = -1;
    }
}

// Opens the directory of the first length bytes of relativePath below the
// run directory, in one call that refuses links and any way out of it
// (openat2). -1 when it cannot, errno saying why (ENOSYS without openat2).
int openBelowRunDirectory(std::size_t length) {
    const char separator = relativePath[length];
    relativePath[length] = '\0';
    open_how how{};
    how.flags = static_cast<std::uint64_t>(kOpenDirectory);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    const long directory =
        syscall(SYS_openat2, runDirectoryDescriptor(), relativePath, &how, sizeof(how));
    relativePath[length] = separator;
    return static_cast<int>(directory);
}

// The deepest directory that exists on the way to the first length bytes
// of relativePath, opened; *existing is how many bytes of it that covers.
// -1 when none does, or the system cannot say: the way then starts at the
// run directory itself.
int openDeepestExisting(std::size_t length, std::size_t* existing) {
    for (std::size_t end = length; end > 0;) {
        const int directory = openBelowRunDirectory(end);
        if (directory >= 0) {
            *existing = end;
            return directory;
        }
        if (errno != ENOENT) {
            return -1;
        }
        while (end > 0 && relativePath[end - 1] != '/') {
            --end;
        }
        end = end > 0 ? end - 1 : 0;
    }
    return -1;
}

// Makes and opens, one component at a time from directory (which covers
// the first start bytes of relativePath, and which this closes unless it
// is the run directory's own descriptor), the directory of the first
// length bytes. -1 when it cannot.
int makeDirectoriesFrom(int directory, std::size_t start, std::size_t length) {
    while (start < length && directory >= 0) {
        std::size_t end = start;
        while (end < length && relativePath[end] != '/') {
            ++end;
        }
        relativePath[end] = '\0';
        mkdirat(directory, relativePath + start, kDirectoryMode);
        const int next = openat(directory, relativePath + start, kOpenDirectory);
        relativePath[end] = '/';
        if (directory != runDirectoryDescriptor()) {
            close(directory);
        }
        directory = next;
        start = end + 1;
    }
    return directory;
}

// Opens the directory of the first length bytes of relativePath, making
// what is missing of it; only the missing part is walked component by
// component. -1 when it cannot.
int walkToDirectory(std::size_t length) {
    std::size_t existing = 0;
    const int deepest = openDeepestExisting(length, &existing);
    if (deepest < 0) {
        return makeDirectoriesFrom(runDirectoryDescriptor(), 0, length);
    }
    return makeDirectoriesFrom(deepest, existing == length ? length : existing + 1, length);
}

// The descriptor of the directory that the entry's file goes into; -1
// when it cannot be opened or made.
int entryDirectory(std::size_t length) {
    if (length == 0) {
        return runDirectoryDescriptor();
    }
    if (openDirectory >= 0 && length == openDirectoryLength &&
        memcmp(openDirectoryPart, relativePath, length) == 0) {
        return openDirectory;
    }
    closeOpenDirectory();
    openDirectory = walkToDirectory(length);
    memcpy(openDirectoryPart, relativePath, length);
    openDirectoryLength = length;
    return openDirectory;
}

// Writes all of size bytes, as many calls as it takes. 0, or the error.
int writeWhole(int file, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(file, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            // A write that takes nothing without an error is a full disk.
            return written < 0 ? errno : ENOSPC;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

// Moves size bytes from the stream into file, chunk by chunk; between
// chunks a stop signal may end the run, and the compressed bytes read so
// far leave the process's memory. 0, or the write's error.
int copyEntryData(int file, std::uint64_t size) {
    for (std::uint64_t remaining = size; remaining > 0;) {
        const std::size_t chunk =
            remaining < kChunkSize ? static_cast<std::size_t>(remaining) : kChunkSize;
        readAttachedBytes(writeBuffer, chunk);
        const int error = writeWhole(file, writeBuffer, chunk);
        if (error != 0) {
            return error;
        }
        remaining -= chunk;
        endIfStopSignalled();
        releaseAttachedDataBefore(readerInputPosition());
    }
    return 0;
}

// False when the file cannot be created or written and failures are not
// reported.
bool writeEntryFile(std::uint64_t size, mode_t mode, WriteFailures failures) {
    const char* const lastSlash = strrchr(relativePath, '/');
    const std::size_t directoryLength =
        lastSlash != nullptr ? static_cast<std::size_t>(lastSlash - relativePath) : 0;
    const int directory = entryDirectory(directoryLength);
    const char* const name = lastSlash != nullptr ? lastSlash + 1 : relativePath;
    const int file = directory >= 0 ? openat(directory, name, kCreateFile, mode) : -1;
    if (file < 0) {
        if (failures == WriteFailures::returnFalse) {
            return false;
        }
        fatalOpenFailure(static_cast<const char*>(fullPath));
    }
    int error = copyEntryData(file, size);
    if (close(file) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0 && failures == WriteFailures::endProcess) {
        fatalSystemError(kWriteFailure, static_cast<unsigned long>(error));
    }
    return error == 0;
}

// The executable-entries record; an absent one lists nothing, a damaged
// one is damaged data.
exec_modes::Record readExecModes() {
    exec_modes::Record record{nullptr, 0};
    const AttachedData modes = locateExecModes();
    if (modes.bytes != nullptr && !exec_modes::parseRecord(modes.bytes, modes.size, &record)) {
        fatalError(kDecodeFailure);
    }
    return record;
}

} // namespace

bool unpackAllEntries(WriteFailures failures) {
    mainFile[0] = '\0';
    const exec_modes::Record modes = readExecModes();
    std::uint64_t count = 0;
    for (; readEntryName(entryName, kNameCapacity); ++count) {
        prepareEntryPath();
        const std::uint64_t size = readEntrySize();
        const bool executable = count <= UINT32_MAX &&
                                exec_modes::isExecutable(modes, static_cast<std::uint32_t>(count));
        if (!writeEntryFile(size, executable ? exec_modes::kExecutableMode : exec_modes::kPlainMode,
                            failures)) {
            closeOpenDirectory();
            releaseReader();
            return false;
        }
        endIfStopSignalled();
    }
    closeOpenDirectory();
    if (!exec_modes::fitsEntries(modes, count)) {
        fatalError(kDecodeFailure);
    }
    // Nothing may run before the whole frame, checksum and all, is known
    // to be intact.
    finishAttachedFrame();
    releaseReader();
    return true;
}

const char* mainFilePath() {
    return mainFile;
}

int runApplication() {
    void* const application = dlopen(mainFile, RTLD_NOW);
    if (application == nullptr) {
        const int error = errno;
        const char* const text = dlerror();
        fatalSystemErrorWithText("Error, load DLL.", error, text != nullptr ? text : "");
    }
    // dlsym returns an object pointer; run_code has the signature that
    // run_code.h fixes.
    const auto runCode =
        reinterpret_cast<onefile_run_code_fn>(dlsym(application, ONEFILE_ENTRY_POINT_NAME));
    if (runCode == nullptr) {
        fatalError("Error, DLL entry point not found.");
    }
    int count = 0;
    char** const arguments = applicationArguments(&count);
    return runCode(count, arguments);
}

const char16_t* readMainEntry(std::uint64_t* size) {
    mainFile[0] = '\0';
    if (!readEntryName(entryName, kNameCapacity)) {
        // Without entries there is nothing to run; going on as a parent
        // would unpack nothing and start yet another child.
        fatalError("Error, attached data holds no application.");
    }
    prepareEntryPath();
    *size = readEntrySize();
    return entryName;
}

int runApplicationFromFirstEntry() {
    std::uint64_t size = 0;
    readMainEntry(&size);
    return runApplication();
}
