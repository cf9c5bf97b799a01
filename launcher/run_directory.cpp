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

// Run by the first ending of the process (on the main thread): the file
// being written, if any, is closed so that it can go too.
void deleteRunDirectoryAtEnding() {
    closeEntryFile();
    deleteRunDirectory();
}

} // namespace

void createRunDirectory() {
    waitIfStopping();
    // Held before the directory exists, so that no sweep ever sees the
    // directory of this live run without it.
    holdRunGuard();
    switch (createNewDirectory(targetDirectory)) {
    case NewDirectory::created:
        break;
    case NewDirectory::alreadyExists:
        fatalExistingDirectory(targetDirectory);
    case NewDirectory::failed:
        return;
    }
    // Without its final path the delete could prove nothing inside it.
    if (!readFinalPath(targetDirectory, runDirectoryFinalPath, kFinalPathCapacity)) {
        return;
    }
    holdRunDirectory();
    cleanupFlag.store(1);
    setEndingHook(deleteRunDirectoryAtEnding);
}

void deleteRunDirectory() {
    if (cleanupFlag.load() == 0) {
        return;
    }
    haltUnpackWorkers();
    letGoOfRunDirectory();
    for (int attempt = 1;
         deleteTreeOnce(targetDirectory, runDirectoryFinalPath) && attempt < kDeleteAttempts;
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

void holdRunDirectory() {
    wchar_t path[kHoldPathCapacity];
    const HANDLE hold = systemCalls.createFile(
        systemPathFor(targetDirectory, kLongDirectoryPath, path, kHoldPathCapacity), kHoldAccess,
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
