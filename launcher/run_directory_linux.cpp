#include "launcher/run_directory_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "diagnostics/diagnostics.h"
#include "launcher/tree_delete_linux.h"
#include "paths/path_text.h"
#include "paths/unpack_spec.h"
#include "resources/product.h"

namespace {

constexpr mode_t kPrivateDirectoryMode = 0700;
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
constexpr int kDeleteAttempts = 3;
constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

void deleteRunDirectoryAtEnding();

// Process-wide, main thread only (launcher/state_linux.h lists them all).
char targetDirectory[kRunPathCapacity];
char primaryPlace[kRunPathCapacity]; // where the unpack spec puts run directories, for a message
int placeDescriptor = -1;            // the directory that holds the run directory
int runDescriptor = -1;
const char* runName = nullptr; // the run directory's name, in targetDirectory
bool cleanupArmed = false;

// A directory that nobody but this user and root can change.
bool isTrusted(const struct stat& status) {
    const uid_t owner = status.st_uid;
    return S_ISDIR(status.st_mode) && (owner == geteuid() || owner == 0) &&
           ((status.st_mode & kWritableByOthers) == 0 || (status.st_mode & S_ISVTX) != 0);
}

// The place (the directory that holds run directories) is usable when it
// and the directory above it are trusted and its file system may run code.
bool isUsablePlace(int place) {
    struct stat status {};
    struct stat above {};
    struct statvfs system {};
    return fstat(place, &status) == 0 && isTrusted(status) &&
           fstatat(place, "..", &above, 0) == 0 && isTrusted(above) &&
           fstatvfs(place, &system) == 0 && (system.f_flag & ST_NOEXEC) == 0;
}

// Makes path and its missing parents, each private to this user.
void makeDirectories(char* path) {
    for (char* at = path + 1; *at != '\0'; ++at) {
        if (*at == '/') {
            *at = '\0';
            mkdir(path, kPrivateDirectoryMode);
            *at = '/';
        }
    }
    mkdir(path, kPrivateDirectoryMode);
}

// Copies path up to its last '/' into place; returns where the last
// component starts, or null when path has no place or no last component.
const char* splitPlace(const char* path, char* place) {
    const std::size_t length = strnlen(path, kRunPathCapacity);
    std::size_t slash = length;
    while (slash > 0 && path[slash - 1] != '/') {
        --slash;
    }
    if (slash < 2 || slash == length || length == kRunPathCapacity) {
        return nullptr;
    }
    PathText copy = startText(place, kRunPathCapacity);
    appendUnits(&copy, path, slash - 1);
    return path + slash;
}

// Opens the place of targetDirectory (making it when asked) when it is
// usable; -1 otherwise. place receives its path.
int openPlace(char* place, bool make) {
    runName = splitPlace(targetDirectory, place);
    if (runName == nullptr) {
        return -1;
    }
    return openUsableDirectory(place, make);
}

enum class WhenTaken { fail, end };

// Creates the run directory in the place open as descriptor, which it then
// owns, and locks it for the run (the sweep deletes only what it can lock).
// False, with no run directory made and descriptor closed, when it cannot;
// a name already taken ends the process when asked.
bool createInOpenPlace(int descriptor, WhenTaken taken) {
    if (mkdirat(descriptor, runName, kPrivateDirectoryMode) != 0) {
        if (errno == EEXIST && taken == WhenTaken::end) {
            fatalExistingDirectory(targetDirectory);
        }
        close(descriptor);
        return false;
    }
    runDescriptor = openat(descriptor, runName, kOpenDirectory | O_NOFOLLOW);
    // Blocking: a sweep that took the lock of a run whose process it
    // believed gone lets go at once when it sees otherwise.
    if (runDescriptor < 0 || flock(runDescriptor, LOCK_EX) != 0) {
        if (runDescriptor >= 0) {
            close(runDescriptor);
            runDescriptor = -1;
        }
        unlinkat(descriptor, runName, AT_REMOVEDIR);
        close(descriptor);
        return false;
    }
    placeDescriptor = descriptor;
    return true;
}

// Creates the run directory in the place of targetDirectory. False, with
// no run directory made (the place itself may have been), when the place
// cannot be used.
bool createInPlace(char* place) {
    const int descriptor = openPlace(place, true);
    return descriptor >= 0 && createInOpenPlace(descriptor, WhenTaken::end);
}

void armCleanup() {
    cleanupArmed = true;
    setEndingHook(deleteRunDirectoryAtEnding);
}

// Opens an existing run directory of this user in the place of
// targetDirectory.
bool findInPlace() {
    char place[kRunPathCapacity];
    const int descriptor = openPlace(place, false);
    if (descriptor < 0) {
        return false;
    }
    const int run = openat(descriptor, runName, kOpenDirectory | O_NOFOLLOW);
    close(descriptor);
    struct stat status {};
    if (run < 0 || fstat(run, &status) != 0 || status.st_uid != geteuid()) {
        if (run >= 0) {
            close(run);
        }
        return false;
    }
    runDescriptor = run;
    return true;
}

bool expandFallback() {
    return expandUnpackSpec(targetDirectory, product::kFallbackUnpackSpec, kRunPathCapacity);
}

// True when the run directory's name in its place is still the directory
// open as runDescriptor, or gone.
bool removeRunDirectoryItself() {
    struct stat own {};
    struct stat named {};
    if (fstat(runDescriptor, &own) != 0 ||
        fstatat(placeDescriptor, runName, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return true;
    }
    if (own.st_dev != named.st_dev || own.st_ino != named.st_ino) {
        return true;
    }
    return unlinkat(placeDescriptor, runName, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// Run by the first ending of the process after the directory was made.
void deleteRunDirectoryAtEnding() {
    deleteRunDirectory();
}

} // namespace

bool expandRunDirectory() {
    return expandUnpackSpec(targetDirectory, product::kUnpackSpec, kRunPathCapacity);
}

void createRunDirectory() {
    // The fallback's place as written until it is expanded.
    char fallbackPlace[kRunPathCapacity];
    fallbackPlace[0] = '\0';
    splitPlace(product::kFallbackUnpackSpec, fallbackPlace);
    if (!createInPlace(primaryPlace) && !(expandFallback() && createInPlace(fallbackPlace))) {
        fatalNoRunDirectory(primaryPlace, fallbackPlace);
    }
    armCleanup();
}

int openUsableDirectory(char* path, bool make) {
    int descriptor = open(path, kOpenDirectory | O_NOFOLLOW);
    if (descriptor < 0 && errno == ENOENT && make) {
        makeDirectories(path);
        descriptor = open(path, kOpenDirectory | O_NOFOLLOW);
    }
    if (descriptor >= 0 && !isUsablePlace(descriptor)) {
        close(descriptor);
        descriptor = -1;
    }
    return descriptor;
}

bool createRunDirectoryIn(int place, const char* placePath) {
    char name[kRunPathCapacity];
    char unused[kRunPathCapacity];
    const char* const expandedName = splitPlace(targetDirectory, unused);
    if (expandedName == nullptr) {
        return false;
    }
    PathText saved = startText(name, kRunPathCapacity);
    appendText(&saved, expandedName);
    PathText target = startText(targetDirectory, kRunPathCapacity);
    const char separator = '/';
    const bool fits = tryAppendUnits(&target, placePath, strnlen(placePath, kRunPathCapacity)) &&
                      tryAppendUnits(&target, &separator, 1) &&
                      tryAppendUnits(&target, name, saved.length);
    runName = targetDirectory + target.length - saved.length;
    const int descriptor = fits ? fcntl(place, F_DUPFD_CLOEXEC, 0) : -1;
    if (descriptor < 0 || !createInOpenPlace(descriptor, WhenTaken::fail)) {
        static_cast<void>(expandRunDirectory());
        return false;
    }
    armCleanup();
    return true;
}

int openRunPlace() {
    char place[kRunPathCapacity];
    return openPlace(place, false);
}

const char* runDirectoryName() {
    return runName;
}

int runPlaceDescriptor() {
    return placeDescriptor;
}

bool setRunDirectoryPath(const char* path) {
    PathText target = startText(targetDirectory, kRunPathCapacity);
    return tryAppendUnits(&target, path, strnlen(path, kRunPathCapacity));
}

bool findRunDirectory() {
    return findInPlace() || (expandFallback() && findInPlace());
}

const char* runDirectoryPath() {
    return targetDirectory;
}

int runDirectoryDescriptor() {
    return runDescriptor;
}

void deleteRunDirectory() {
    if (!cleanupArmed) {
        return;
    }
    cleanupArmed = false;
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
        emptyDirectoryTree(runDescriptor);
        if (removeRunDirectoryItself()) {
            break;
        }
    }
}

void leaveRunDirectory() {
    cleanupArmed = false;
    setEndingHook(nullptr);
    if (runDescriptor >= 0) {
        close(runDescriptor);
        runDescriptor = -1;
    }
    if (placeDescriptor >= 0) {
        close(placeDescriptor);
        placeDescriptor = -1;
    }
}
