// The sweep reads its folder once and decides about each entry on its own:
// the name first, then the process it names (one system call, and the one
// that spares a run that is still being created), then the directory
// itself, opened without following links, and its lock.
#include "launcher/sweep_linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/cache_linux.h"
#include "launcher/run_directory_linux.h"
#include "launcher/run_name.h"
#include "launcher/tree_delete_linux.h"

namespace {

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Whether the process that the run's name names is alive; a process of
// another user counts.
bool isProcessAlive(std::uint32_t processId) {
    // API oddity: kill with 0 would name this process group.
    if (processId == 0) {
        return false;
    }
    return kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
}

bool isSameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Calls each for every name in the directory open as folder ("." and ".."
// left out). Reads a descriptor of its own.
template <typename Each> void forEachName(int folder, Each each) {
    const int listed = openat(folder, ".", kOpenDirectory);
    DIR* const directory = listed >= 0 ? fdopendir(listed) : nullptr;
    if (directory == nullptr) {
        if (listed >= 0) {
            close(listed);
        }
        return;
    }
    for (const dirent* entry = readdir(directory); entry != nullptr; entry = readdir(directory)) {
        const char* const name = entry->d_name;
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
            each(name);
        }
    }
    closedir(directory);
}

} // namespace

bool deleteLockedDirectory(int folder, const char* name, int directory) {
    struct stat opened {};
    struct stat named {};
    if (fstat(directory, &opened) != 0 || fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !isSameFile(opened, named)) {
        return false;
    }
    emptyDirectoryTree(directory);
    return unlinkat(folder, name, AT_REMOVEDIR) == 0;
}

bool sweepRunDirectory(int folder, const char* name) {
    RunName runName{};
    if (!parseRunDirectoryName(name, &runName) || isProcessAlive(runName.processId)) {
        return false;
    }
    const int run = openat(folder, name, kOpenDirectory);
    if (run < 0) {
        return false;
    }
    struct stat status {};
    const bool gone = fstat(run, &status) == 0 && status.st_uid == geteuid() &&
                      flock(run, LOCK_EX | LOCK_NB) == 0 &&
                      deleteLockedDirectory(folder, name, run);
    // The lock goes with the descriptor.
    close(run);
    return gone;
}

void sweepFinishedRuns() {
    const int place = runPlaceDescriptor();
    const char* const own = runDirectoryName();
    if (place < 0 || own == nullptr) {
        return;
    }
    forEachName(place, [place, own](const char* name) {
        if (strcmp(name, own) != 0) {
            sweepRunDirectory(place, name);
        }
    });
}

void sweepRunPlace() {
    const int place = openRunPlace();
    if (place < 0) {
        return;
    }
    forEachName(place, [place](const char* name) { sweepRunDirectory(place, name); });
    close(place);
}

void sweepCacheFolder(int folder, const char* ownCopy) {
    forEachName(folder, [folder, ownCopy](const char* name) {
        if (isCopyName(name)) {
            if (strcmp(name, ownCopy) != 0) {
                removeUnusedCopy(folder, name, CopyWithoutMarker::keep);
            }
            return;
        }
        sweepRunDirectory(folder, name);
    });
}
