// The sweep lists its folder once and decides about each entry on its own:
// the cheap tests of the listing first (a directory, not a link, a run's or
// a copy's name), then for a run the guard (one system call, and the one
// that spares every live run) and the process, then the final path, right
// before the delete that checks every entry again. A copy goes only when its
// marker can be taken alone (launcher/cache.h).
#include "launcher/sweep.h"

#include <windows.h>
#include <wchar.h>

#include "launcher/cache_copy.h"
#include "launcher/directory_listing.h"
#include "launcher/run_guard.h"
#include "launcher/run_directory.h"
#include "launcher/run_name.h"
#include "launcher/path_capacities.h"
#include "launcher/tree_delete.h"
#include "paths/extended_path.h"
#include "paths/wide_text.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kSweepPathCapacity = kTargetDirectoryCapacity + kExtendedPrefixGrowth;
constexpr DWORD kProcessAccess = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
constexpr DWORD kProbeAccess = DELETE | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kProbeFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// One sweep's state, on the main thread's stack.
struct Sweep {
    WideText path;              // the swept folder, or an entry in it
    const wchar_t* folderFinal; // its final path: the first finalLength units
    std::size_t finalLength;
    const wchar_t* ownCopy; // in a cache folder, the name of the copy in use; else null
    WIN32_FIND_DATAW found;
    alignas(8) wchar_t finalPath[kFinalPathCapacity];
    alignas(8) wchar_t folderFinalBuffer[kFinalPathCapacity];
    wchar_t pathBuffer[kSweepPathCapacity];
};

std::uint64_t toCount(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Whether the process that run names may still be its parent: one that
// runs and was created no later than the run's start time. A process that
// was created later only reuses the id.
bool mayBeRunsParent(const RunName& run) {
    const HANDLE process = systemCalls.openProcess(kProcessAccess, FALSE, run.processId);
    if (process == nullptr) {
        // API oddity: an id that names no process gives
        // ERROR_INVALID_PARAMETER; any other failure (access denied, say)
        // means that a process is there.
        return GetLastError() != ERROR_INVALID_PARAMETER;
    }
    bool mayBe = true;
    // A process that has ended can still be opened for a moment.
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        mayBe = false;
    } else {
        FILETIME created{};
        FILETIME exited{};
        FILETIME kernel{};
        FILETIME user{};
        if (systemCalls.getProcessTimes(process, &created, &exited, &kernel, &user)) {
            mayBe = toCount(created) <= run.startTime;
        }
    }
    systemCalls.closeHandle(process);
    return mayBe;
}

// A live run holds its directory open without sharing delete access
// (launcher/run_directory.h), on whatever machine it runs: then this open
// fails, and the run is left alone, whatever its name and guard say. The
// probe lets go at once; the delete opens every entry again itself.
bool canOpenForDeletion(const wchar_t* path) {
    const HANDLE probe = systemCalls.createFile(path, kProbeAccess, kShareAll, nullptr,
                                                OPEN_EXISTING, kProbeFlags, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return false;
    }
    systemCalls.closeHandle(probe);
    return true;
}

// The entry's final path must be the runs' directory's final path, '\' and
// the entry's name exactly: not a link, and not some other place.
bool isWhereItsNameSays(Sweep* sweep, const wchar_t* name) {
    if (!readFinalPath(sweep->path.buffer, sweep->finalPath, kFinalPathCapacity)) {
        return false;
    }
    const wchar_t* const tail = sweep->finalPath + sweep->finalLength;
    return wcsnlen(sweep->finalPath, kFinalPathCapacity) > sweep->finalLength &&
           wmemcmp(sweep->finalPath, sweep->folderFinal, sweep->finalLength) == 0 &&
           tail[0] == L'\\' && wcscmp(tail + 1, name) == 0;
}

// Another copy than the one in use, in a cache folder.
bool isOtherCopy(const Sweep& sweep, const wchar_t* name) {
    return sweep.ownCopy != nullptr && isCopyName(name) && wcscmp(name, sweep.ownCopy) != 0;
}

// sweep->found is an entry of the swept folder: deletes it when it is the
// directory of a run that is over, or, in a cache folder, another copy
// that is not in use.
void sweepEntry(Sweep* sweep) {
    const wchar_t* const name = sweep->found.cFileName;
    RunName run{};
    if (!isRealDirectory(sweep->found.dwFileAttributes)) {
        return;
    }
    const bool isRun = parseRunDirectoryName(name, &run);
    if (isRun ? isRunGuardHeld(name) || mayBeRunsParent(run) : !isOtherCopy(*sweep, name)) {
        return;
    }
    if (!appendEntryName(&sweep->path, name) || !isWhereItsNameSays(sweep, name)) {
        return;
    }
    if (isRun) {
        if (canOpenForDeletion(sweep->path.buffer)) {
            treeRemainsAfterDeleting(sweep->path.buffer, sweep->finalPath);
        }
    } else {
        removeUnusedCopy(sweep->path.buffer, sweep->finalPath, CopyWithoutMarker::keep);
    }
}

// Sweeps the folder whose path (extended form) is in sweep->path.
void sweepFolder(Sweep* sweep) {
    if (!isRealDirectory(GetFileAttributesW(sweep->path.buffer))) {
        return;
    }
    const auto sweepListed = [](void* context, const WIN32_FIND_DATAW&) {
        sweepEntry(static_cast<Sweep*>(context));
        return true;
    };
    listDirectory(&sweep->path, &sweep->found, sweepListed, sweep);
}

} // namespace

// The runs' directory is the run directory's parent; its final path is the
// front of the run directory's.
void sweepFinishedRuns() {
    const RunDirectory* const run = armedRunDirectory();
    if (run == nullptr) {
        return;
    }
    Sweep sweep;
    sweep.path = startWideText(sweep.pathBuffer, kSweepPathCapacity);
    const wchar_t* const ownName = wcsrchr(run->path, L'\\');
    const wchar_t* const finalSeparator = wcsrchr(run->finalPath, L'\\');
    if (ownName == nullptr || finalSeparator == nullptr ||
        !appendExtendedPath(&sweep.path, run->path)) {
        return;
    }
    truncateWideText(&sweep.path, sweep.path.length - wcslen(ownName));
    sweep.folderFinal = run->finalPath;
    sweep.finalLength = static_cast<std::size_t>(finalSeparator - run->finalPath);
    sweep.ownCopy = nullptr;
    sweepFolder(&sweep);
}

void sweepCacheFolder(const wchar_t* folder, const wchar_t* ownCopy) {
    Sweep sweep;
    sweep.path = startWideText(sweep.pathBuffer, kSweepPathCapacity);
    if (!appendExtendedPath(&sweep.path, folder) ||
        !readFinalPath(folder, sweep.folderFinalBuffer, kFinalPathCapacity)) {
        return;
    }
    sweep.folderFinal = sweep.folderFinalBuffer;
    sweep.finalLength = wcsnlen(sweep.folderFinalBuffer, kFinalPathCapacity);
    sweep.ownCopy = ownCopy;
    sweepFolder(&sweep);
}
