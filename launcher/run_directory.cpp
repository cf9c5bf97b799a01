#include "launcher/run_directory.h"

#include <windows.h>

#include <atomic>

#include "diagnostics/diagnostics.h"
#include "launcher/run_guard.h"
#include "launcher/run_stop.h"
#include "launcher/state.h"
#include "launcher/tree_delete.h"
#include "launcher/unpack.h"
#include "launcher/unpack_workers.h"
#include "paths/directories.h"
#include "paths/extended_path.h"
#include "system/system_calls.h"

namespace {

constexpr int kDeleteAttempts = 21;
constexpr std::size_t kHoldPathCapacity = kTargetDirectoryCapacity + kExtendedPrefixGrowth;
constexpr DWORD kRetryPauseMs = 100;
// Listing access takes part in share checks (attribute access alone does
// not); delete access itself would keep Wine from listing the directory.
constexpr DWORD kHoldAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE;
constexpr DWORD kHoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Process-wide; launcher/state.h lists them all. Taken with exchange by
// whoever closes it.
std::atomic<HANDLE> runDirectoryHold{INVALID_HANDLE_VALUE};
// Set before the cleanup flag goes up.
std::atomic<const RunDirectory*> armedDirectory{nullptr};

// Run by the first ending of the process (on the main thread): the file
// being written, if any, is closed so that it can go too.
void deleteRunDirectoryAtEnding() {
    closeEntryFile();
    deleteRunDirectory();
}

} // namespace

const RunDirectory startupRunDirectory{targetDirectory, runDirectoryFinalPath};

void createRunDirectory(const RunDirectory& directory) {
    waitIfStopping();
    // Held before the directory exists, so that no sweep ever sees the
    // directory of this live run without it.
    holdRunGuard(directory.path);
    switch (createNewDirectory(directory.path)) {
    case NewDirectory::created:
        break;
    case NewDirectory::alreadyExists:
        fatalExistingDirectory(directory.path);
    case NewDirectory::failed:
        return;
    }
    // Without its final path the delete could prove nothing inside it.
    if (!readFinalPath(directory.path, directory.finalPath, kFinalPathCapacity)) {
        return;
    }
    holdRunDirectory(directory.path);
    armedDirectory.store(&directory);
    cleanupFlag.store(1);
    setEndingHook(deleteRunDirectoryAtEnding);
}

void createRunDirectory() {
    createRunDirectory(startupRunDirectory);
}

const RunDirectory* armedRunDirectory() {
    return cleanupFlag.load() == 0 ? nullptr : armedDirectory.load();
}

void deleteRunDirectory() {
    const RunDirectory* const directory = armedRunDirectory();
    if (directory == nullptr) {
        return;
    }
    haltUnpackWorkers();
    letGoOfRunDirectory();
    for (int attempt = 1; treeRemainsAfterDeleting(directory->path, directory->finalPath) &&
                          attempt < kDeleteAttempts;
         ++attempt) {
        systemCalls.sleep(kRetryPauseMs);
    }
}

void releaseRunDirectory() {
    waitIfStopping();
    // The directories remembered below it are gone or renamed with it.
    forgetKnownDirectories();
    letGoOfRunDirectory();
    cleanupFlag.store(0);
    setEndingHook(nullptr);
    // A cached copy given up halted the workers with its delete; the run
    // directory that the start falls back to is unpacked with them.
    resumeUnpackWorkers();
}

void holdRunDirectory(const wchar_t* path) {
    wchar_t systemPath[kHoldPathCapacity];
    const HANDLE hold = systemCalls.createFile(
        systemPathFor(path, kLongDirectoryPath, systemPath, kHoldPathCapacity), kHoldAccess,
        kHoldSharing, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hold == INVALID_HANDLE_VALUE) {
        return;
    }
    letGoOfRunDirectory();
    runDirectoryHold.store(hold);
}

void letGoOfRunDirectory() {
    const HANDLE hold = runDirectoryHold.exchange(INVALID_HANDLE_VALUE);
    if (hold != INVALID_HANDLE_VALUE) {
        systemCalls.closeHandle(hold);
    }
}
