// Directory creation for the unpacking. knownDirectories remembers every
// directory made or found, so a directory costs at most one CreateDirectoryW
// call however many files go into it.
#include "paths/directories.h"

#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "diagnostics/diagnostics.h"
#include "paths/extended_path.h"
#include "paths/unpack_spec.h"
#include "paths/wide_text.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kWorkingCapacity = 4096; // code units, terminator included
constexpr int kKnownLimit = static_cast<int>(kKnownDirectoriesLimit);

// Every level of ensureParentDirectories keeps a full working copy on the
// stack (8 KiB). Past this many levels the 2 MiB main-thread stack would be
// at risk, so a deeper chain of missing directories is refused rather than
// overflow the stack. Names in real attached data nest nine deep.
constexpr int kMaximumMissingLevels = 128;
constexpr std::size_t kSystemPathCapacity = kWorkingCapacity + kExtendedPrefixGrowth;

const wchar_t kHomeSpec[] = L"{HOME}";

// Process-wide, main thread only; launcher/state.h lists them all.
wchar_t* knownDirectories[kKnownDirectoriesLimit];
int knownCount = 0;

// Appends a heap copy of path unless the list is full. When the copy cannot
// be made the path is simply not remembered: a later request then asks the
// system again, which answers "already exists".
void rememberDirectory(const wchar_t* path) {
    if (knownCount >= kKnownLimit) {
        return;
    }
    wchar_t* const copy = _wcsdup(path);
    if (copy == nullptr) {
        return;
    }
    knownDirectories[knownCount] = copy;
    ++knownCount;
}

// Entry 0 is the home directory, so that it is never handed to the system.
void rememberHomeDirectory() {
    wchar_t home[kWorkingCapacity];
    home[0] = L'\0';
    if (!expandUnpackSpec(home, kHomeSpec, kWorkingCapacity)) {
        fatalSpecFailure(kHomeSpec);
    }
    rememberDirectory(home);
}

bool isKnownDirectory(const wchar_t* path) {
    for (int index = 0; index < knownCount; ++index) {
        if (wcscmp(knownDirectories[index], path) == 0) {
            return true;
        }
    }
    return false;
}

// "D:" exactly: the root of a drive, which always counts as existing. The
// letter itself is not examined.
bool isDriveDesignator(const wchar_t* path) {
    return path[0] != L'\0' && path[1] == L':' && path[2] == L'\0';
}

// The index of the last backslash at position 1 or later, or 0 when there
// is none: a leading backslash alone does not make a parent.
std::size_t findParentSeparator(const WideText& path) {
    std::size_t index = path.length;
    while (index > 1) {
        --index;
        if (path.buffer[index] == L'\\') {
            return index;
        }
    }
    return 0;
}

// CreateDirectoryW, in the extended form for a long path. True when it
// made the directory; otherwise the reason is in GetLastError.
bool createDirectory(const wchar_t* path) {
    wchar_t extended[kSystemPathCapacity];
    return systemCalls.createDirectory(
               systemPathFor(path, kLongDirectoryPath, extended, kSystemPathCapacity), nullptr) !=
           FALSE;
}

bool ensureParentDirectoriesAt(const wchar_t* path, int depth) {
    if (path == nullptr) {
        abnormalEnd();
    }
    if (depth > kMaximumMissingLevels) {
        return false;
    }
    // appendWide ends the process for a path of kWorkingCapacity code units
    // or more.
    wchar_t parent[kWorkingCapacity];
    WideText text = startWideText(parent, kWorkingCapacity);
    appendWide(&text, path);
    const std::size_t separator = findParentSeparator(text);
    if (separator == 0) {
        return true;
    }
    truncateWideText(&text, separator);
    if (ensureDirectory(parent)) {
        return true;
    }
    // The parent could not be made, most likely because its own parent is
    // missing: make that one first, then try the parent once more.
    if (!ensureParentDirectoriesAt(parent, depth + 1)) {
        return false;
    }
    ensureDirectory(parent);
    return true;
}

} // namespace

bool ensureDirectory(const wchar_t* path) {
    if (path == nullptr) {
        abnormalEnd();
    }
    if (knownCount == 0) {
        rememberHomeDirectory();
    }
    if (isKnownDirectory(path)) {
        return true;
    }
    if (isDriveDesignator(path)) {
        return true;
    }
    if (!createDirectory(path)) {
        // Something of that name already standing there counts as success,
        // whatever it is: a file in the way shows up when the file inside it
        // is created.
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    rememberDirectory(path);
    return true;
}

bool ensureParentDirectories(const wchar_t* path) {
    return ensureParentDirectoriesAt(path, 1);
}

NewDirectory createNewDirectory(const wchar_t* path) {
    if (!ensureParentDirectories(path)) {
        return NewDirectory::failed;
    }
    if (createDirectory(path)) {
        rememberDirectory(path);
        return NewDirectory::created;
    }
    return GetLastError() == ERROR_ALREADY_EXISTS ? NewDirectory::alreadyExists
                                                  : NewDirectory::failed;
}

void forgetKnownDirectories() {
    for (int index = 0; index < knownCount; ++index) {
        free(knownDirectories[index]);
        knownDirectories[index] = nullptr;
    }
    knownCount = 0;
}

int knownDirectoryCount() {
    return knownCount;
}

const wchar_t* knownDirectory(int index) {
    if (index < 0 || index >= knownCount) {
        return nullptr;
    }
    return knownDirectories[index];
}
