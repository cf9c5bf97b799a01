// The entry loop. Names, sizes and data come out of the reader in stream
// order; the parent writes each entry below its directory, the child uses
// only the first name to find the application's main DLL.
#include "launcher/unpack.h"

#include <windows.h>

#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/run_code.h"
#include "launcher/state.h"
#include "launcher/unpack_workers.h"
#include "launcher/written_names.h"
#include "paths/directories.h"
#include "paths/wide_text.h"
#include "payload/entry_names.h"
#include "payload/entry_stream.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kNameCapacity = attached::kNameCapacity;
constexpr std::size_t kPathCapacity = attached::kPathCapacity;
constexpr std::size_t kChunkSize = attached::kDataChunkSize;
constexpr std::size_t kCodeUnitSize = 2; // UTF-16LE in the stream
// One key per component: each takes a unit and a separator but the last.
constexpr std::size_t kKeyCapacity = (kNameCapacity + 1) / 2;

constexpr DWORD kLoadFlags =
    LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS | LOAD_LIBRARY_SEARCH_SYSTEM32;
static_assert(kLoadFlags == 0x0D00);

const char kDecodeFailure[] = "Error, couldn't decode attached data.";
const char kWriteFailure[] = "Error, couldn't unpack file to target path.";

static_assert(sizeof(wchar_t) == kCodeUnitSize, "names are stored as UTF-16 code units");

// Process-wide, main thread only; launcher/state.h lists them all.
wchar_t entryName[kNameCapacity];
wchar_t fullPath[kPathCapacity];
wchar_t mainFilePath[kPathCapacity];
wchar_t systemPath[kEntrySystemPathCapacity];
unsigned char writeBuffer[kChunkSize];
std::uint64_t entryKeys[kKeyCapacity];
// The file being written, so that an ending in the middle of it can close
// it before the run directory is deleted.
HANDLE entryFile = INVALID_HANDLE_VALUE;

// An unhandled exception while the main DLL is loaded and run_code looked
// up is raised inside the system's loader (a damaged export table does it),
// which holds its lock. Wine then starts its debugger, which attaches by
// starting a thread in the process; that thread waits for the lock, the
// crashed thread waits for the debugger, and the child never ends. Until
// run_code is called, such an exception ends the child at once with its
// code, which the parent passes on; the application's own crashes later
// are handled as they would be without the launcher.
LONG WINAPI endWithTheExceptionCode(EXCEPTION_POINTERS*) {
    return EXCEPTION_EXECUTE_HANDLER;
}

// Refuses names that would leave the target directory or name a drive or
// stream, before anything of the entry reaches the disk. Then builds
// directory '\' name (abnormal end past kPathCapacity) and keeps the first
// one as the main file path.
void prepareEntryPath(const wchar_t* directory) {
    if (!isSafeEntryName(entryName)) {
        fatalError(kDecodeFailure);
    }
    WideText path = startWideText(fullPath, kPathCapacity);
    appendWide(&path, directory);
    appendWideUnit(&path, L'\\');
    appendWide(&path, entryName);
    if (mainFilePath[0] == L'\0') {
        WideText mainFile = startWideText(mainFilePath, kPathCapacity);
        appendWideUnits(&mainFile, path.buffer, path.length);
    }
}

DWORD nextChunkSize(std::uint64_t remaining) {
    return remaining < kChunkSize ? static_cast<DWORD>(remaining) : static_cast<DWORD>(kChunkSize);
}

// Moves size bytes from the stream into file, one chunk per WriteFile.
// False when a write fails and failures says to report it.
bool copyEntryData(HANDLE file, std::uint64_t size, WriteFailures failures) {
    for (std::uint64_t remaining = size; remaining > 0;) {
        const DWORD chunk = nextChunkSize(remaining);
        readAttachedBytes(writeBuffer, chunk);
        const DWORD error = writeWholeChunk(file, writeBuffer, chunk);
        if (error != ERROR_SUCCESS) {
            if (failures == WriteFailures::returnFalse) {
                return false;
            }
            fatalSystemError(kWriteFailure, error);
        }
        remaining -= chunk;
    }
    return true;
}

// A name that nests deeper than the directory creation goes is refused
// like any other unusable name.
void makeEntryDirectories() {
    if (!ensureParentDirectories(fullPath)) {
        fatalError(kDecodeFailure);
    }
}

// Keys entryName's paths into entryKeys and records the whole name as
// written; returns how many keys there are and, in *replaceable, whether
// an earlier entry may have had the same name.
std::size_t keyEntryPaths(bool* replaceable) {
    const std::size_t keyCount = entryPathKeys(entryName, entryKeys, kKeyCapacity);
    *replaceable = recordWrittenName(entryKeys[keyCount - 1]);
    return keyCount;
}

// The file goes to the system in the extended-length form when its path is
// long; the message shows it as the user knows it. False when it cannot be
// created or written and failures says to report it. Something else in its
// place means a damaged package, whatever failures says.
bool writeEntryFile(const wchar_t* directory, std::uint64_t size, WriteFailures failures) {
    bool replaceable = false;
    keyEntryPaths(&replaceable);
    makeEntryDirectories();
    bool inTheWay = false;
    entryFile = createEntryFile(directory, fullPath, systemPath, replaceable, &inTheWay);
    if (entryFile == INVALID_HANDLE_VALUE) {
        if (inTheWay) {
            fatalError(kDecodeFailure);
        }
        if (failures == WriteFailures::returnFalse) {
            return false;
        }
        fatalOpenFailure(fullPath);
    }
    if (!copyEntryData(entryFile, size, failures)) {
        return false;
    }
    closeEntryFile();
    return true;
}

// Workers take the file while this thread reads on. A directory is made,
// and a file handed over, only once no earlier file in flight can be in its
// way: only files with '~' in their path, a possible short name for any
// other, wait for all of them.
void handOverEntryFile(FileHandover* handover, std::uint64_t size) {
    bool replaceable = false;
    const std::size_t keyCount = keyEntryPaths(&replaceable);
    waitForFilesInTheWay(handover, entryKeys, keyCount, mayBeShortName(entryName));
    makeEntryDirectories();
    handOverFile(handover, fullPath, entryKeys[keyCount - 1], replaceable);
    for (std::uint64_t remaining = size; remaining > 0;) {
        const DWORD chunk = nextChunkSize(remaining);
        readAttachedBytes(acquireChunk(handover), chunk);
        passChunk(handover, chunk);
        remaining -= chunk;
    }
    endHandedFile(handover);
}

// Reads the entries up to the end marker, handing the files over when
// there is a hand-over. False when a worker's failure that is to be
// returned cut the reading short.
bool readAllEntries(const wchar_t* directory, FileHandover* handover, WriteFailures failures) {
    while (readEntryName(entryName, kNameCapacity)) {
        prepareEntryPath(directory);
        const std::uint64_t size = readEntrySize();
        if (handover != nullptr) {
            handOverEntryFile(handover, size);
            if (failures == WriteFailures::returnFalse && hasHandoverFailed(handover)) {
                return false;
            }
        } else if (!writeEntryFile(directory, size, failures)) {
            return false;
        }
    }
    return true;
}

} // namespace

void closeEntryFile() {
    if (entryFile != INVALID_HANDLE_VALUE) {
        systemCalls.closeHandle(entryFile);
        entryFile = INVALID_HANDLE_VALUE;
    }
}

bool unpackAllEntries(const wchar_t* directory, WriteFailures failures) {
    mainFilePath[0] = L'\0';
    forgetWrittenNames();
    FileHandover* const handover = startUnpackWorkers(directory, failures);
    const bool read = readAllEntries(directory, handover, failures);
    if (read) {
        // Nothing may run before the whole frame, checksum and all, is known
        // to be intact.
        finishAttachedFrame();
    }
    const bool written = handover == nullptr || finishFileHandover(handover);
    forgetWrittenNames();
    if (!read || !written) {
        return false;
    }
    releaseReader();
    return true;
}

bool unpackAllEntries(WriteFailures failures) {
    return unpackAllEntries(targetDirectory, failures);
}

const wchar_t* readMainEntry(const wchar_t* directory, std::uint64_t* size) {
    mainFilePath[0] = L'\0';
    if (!readEntryName(entryName, kNameCapacity)) {
        // Without entries there is nothing to run; going back to the start-up
        // sequence would make this child start a child of its own.
        fatalError("Error, attached data holds no application.");
    }
    prepareEntryPath(directory);
    if (size != nullptr) {
        *size = readEntrySize();
    }
    return entryName;
}

int runMainEntry(const wchar_t* directory) {
    // The cookie is not kept: the directory stays on the search list for the
    // rest of the process.
    AddDllDirectory(directory);
    const LPTOP_LEVEL_EXCEPTION_FILTER previousFilter =
        SetUnhandledExceptionFilter(endWithTheExceptionCode);
    const HMODULE application = systemCalls.loadLibrary(mainFilePath, nullptr, kLoadFlags);
    if (application == nullptr) {
        fatalSystemError("Error, load DLL.", GetLastError());
    }
    // GetProcAddress returns a generic function pointer; run_code has the
    // signature that run_code.h fixes.
    const auto runCode = reinterpret_cast<onefile_run_code_fn>(
        reinterpret_cast<void*>(GetProcAddress(application, ONEFILE_ENTRY_POINT_NAME)));
    if (runCode == nullptr) {
        fatalError("Error, DLL entry point not found.");
    }
    SetUnhandledExceptionFilter(previousFilter);
    return runCode(__argc, __wargv);
}
