#include "launcher/run_directory.h"

#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/cleanup.h"
#include "launcher/run_guard.h"
#include "launcher/state.h"
#include "launcher/tree_delete.h"
#include "launcher/unpack.h"
#include "launcher/unpack_workers.h"
#include "paths/directories.h"
#include "system/system_calls.h"

namespace {

constexpr int kDeleteAttempts = 21;
constexpr DWORD kRetryPauseMs = 100;

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
    cleanupFlag.store(1);
    setEndingHook(deleteRunDirectoryAtEnding);
}

void deleteRunDirectory() {
    if (cleanupFlag.load() == 0) {
        return;
    }
    haltUnpackWorkers();
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
    cleanupFlag.store(0);
    setEndingHook(nullptr);
    // A cached copy given up halted the workers with its delete; the run
    // directory that the start falls back to is unpacked with them.
    resumeUnpackWorkers();
}
