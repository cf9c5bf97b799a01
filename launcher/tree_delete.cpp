// The delete walks the tree depth first with FindFirstFileExW. Each entry
// is deleted through a handle opened without following a link at the end
// of the path, whose final path is checked right before that same handle
// is marked for deletion: nothing can be swapped in between the check and
// the delete. A real directory is first emptied while a second, checked
// handle holds it: that one has no delete access (Wine lists a directory
// only while no one holds delete access to it), and neither handle shares
// delete, so no one else can rename the entry while it is held.
//
// The recursion costs a small frame per level; the path and the find
// record are shared by all levels of one walk. A 4096-unit path nests at
// most about 2000 levels, well within the stack of the console handler's
// thread, which the system creates with the executable's default size.
#include "launcher/tree_delete.h"

#include <windows.h>
#include <winternl.h>
#include <string.h>
#include <wchar.h>

#include <cstdint>

#include "launcher/directory_listing.h"
#include "launcher/path_capacities.h"
#include "paths/extended_path.h"
#include "paths/wide_text.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kWalkCapacity = kTargetDirectoryCapacity + kExtendedPrefixGrowth;
constexpr DWORD kNoFollowFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kDeleteAccess = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kInspectAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kNoDeleteSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kFinalPathFlags = 0; // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS
constexpr int kObjectNameInformation = 1;

// The two ways to a handle's final path, looked up once per walk.
struct FinalPathSources {
    GetFinalPathNameByHandleFn finalPathOf;
    QueryObjectFn queryObject;
};

// One walk's state, on the stack of the thread that deletes.
struct Walk {
    WideText path; // the entry at hand, in the extended-length form
    const wchar_t* rootFinalPath;
    std::size_t rootFinalLength;
    FinalPathSources sources;
    WIN32_FIND_DATAW found;
    alignas(8) wchar_t finalPath[kFinalPathCapacity];
    wchar_t pathBuffer[kWalkCapacity];
};

FinalPathSources findFinalPathSources() {
    return {systemCalls.findFinalPathFunction(), systemCalls.findQueryObjectFunction()};
}

HANDLE openWithoutFollowing(const wchar_t* path, DWORD access, DWORD share) {
    return systemCalls.createFile(path, access, share, nullptr, OPEN_EXISTING, kNoFollowFlags,
                                  nullptr);
}

// The object name of handle as a final path. It is the same text in NT
// spelling, "\??\X:\..." for "\\?\X:\...", where the system gives that
// spelling (Wine does); anything else (Windows names the device) is no use
// here. buffer must be aligned for the UNICODE_STRING that comes first.
bool readObjectName(QueryObjectFn queryObject, HANDLE handle, wchar_t* buffer, std::size_t capacity,
                    std::size_t* length) {
    if (queryObject == nullptr || reinterpret_cast<std::uintptr_t>(buffer) % 8 != 0) {
        return false;
    }
    ULONG used = 0;
    if (queryObject(handle, kObjectNameInformation, buffer,
                    static_cast<ULONG>(capacity * sizeof(wchar_t)), &used) < 0) {
        return false;
    }
    UNICODE_STRING name;
    memcpy(&name, buffer, sizeof(name));
    const std::size_t units = name.Length / sizeof(wchar_t);
    if (name.Buffer == nullptr || units < 4 || units >= capacity ||
        wmemcmp(name.Buffer, L"\\??\\", 4) != 0) {
        return false;
    }
    wmemmove(buffer, name.Buffer, units);
    buffer[1] = L'\\';
    buffer[units] = L'\0';
    *length = units;
    return true;
}

// API oddity: GetFinalPathNameByHandleW returns the length without
// terminator when the path fit, the size needed with terminator when it did
// not, and 0 on failure. Wine's fails for any path longer than about 265
// code units, whatever the buffer; its object name then serves.
bool readFinalPathOf(const FinalPathSources& sources, HANDLE handle, wchar_t* finalPath,
                     std::size_t capacity, std::size_t* length) {
    if (sources.finalPathOf == nullptr) {
        return false;
    }
    const DWORD written =
        sources.finalPathOf(handle, finalPath, static_cast<DWORD>(capacity), kFinalPathFlags);
    if (written == 0) {
        return readObjectName(sources.queryObject, handle, finalPath, capacity, length);
    }
    if (written >= capacity) {
        return false;
    }
    *length = written;
    return true;
}

// Strictly below: the root's final path, a backslash, and at least one
// more code unit. Compared exactly; the system spells both the same way.
bool isStrictlyBelow(const wchar_t* finalPath, std::size_t length, const wchar_t* rootFinalPath,
                     std::size_t rootFinalLength) {
    return length > rootFinalLength + 1 &&
           wmemcmp(finalPath, rootFinalPath, rootFinalLength) == 0 &&
           finalPath[rootFinalLength] == L'\\';
}

bool liesBelowRoot(Walk* walk, HANDLE entry) {
    std::size_t length = 0;
    return readFinalPathOf(walk->sources, entry, walk->finalPath, kFinalPathCapacity, &length) &&
           isStrictlyBelow(walk->finalPath, length, walk->rootFinalPath, walk->rootFinalLength);
}

// A read-only entry cannot be marked for deletion: its attribute goes
// first. Zero times leave the times as they are. Attributes belong to the
// file, not to a name, so a file with another hard link (elsewhere,
// perhaps) keeps its attribute, and so its place.
void clearReadOnly(HANDLE entry, DWORD attributes) {
    if (!hasSingleLink(entry)) {
        return;
    }
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    systemCalls.setFileInformation(entry, FileBasicInfo, &basic, sizeof(basic));
}

// The entry goes when its last handle closes; a directory only if empty.
bool markForDeletion(HANDLE entry) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return systemCalls.setFileInformation(entry, FileDispositionInfo, &disposition,
                                          sizeof(disposition)) != FALSE;
}

void deleteChildren(Walk* walk);

// Deletes the entry at walk->path (a link itself, never what it points to)
// when the handle that deletes it lies below the root.
void deleteCheckedEntry(Walk* walk, DWORD attributes) {
    const HANDLE entry = openWithoutFollowing(walk->path.buffer, kDeleteAccess, kNoDeleteSharing);
    if (entry == INVALID_HANDLE_VALUE) {
        return;
    }
    if (liesBelowRoot(walk, entry)) {
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            clearReadOnly(entry, attributes);
        }
        markForDeletion(entry);
    }
    systemCalls.closeHandle(entry);
}

// walk->path names the entry that walk->found describes. A real directory
// is emptied first, while a checked handle holds it; a link is not entered.
void deleteEntry(Walk* walk) {
    // Kept here: the listing of a directory below overwrites walk->found.
    const DWORD attributes = walk->found.dwFileAttributes;
    if (isRealDirectory(attributes)) {
        const HANDLE directory =
            openWithoutFollowing(walk->path.buffer, kInspectAccess, kNoDeleteSharing);
        if (directory == INVALID_HANDLE_VALUE) {
            return;
        }
        const bool below = liesBelowRoot(walk, directory);
        if (below) {
            deleteChildren(walk);
        }
        systemCalls.closeHandle(directory);
        if (!below) {
            return;
        }
    }
    deleteCheckedEntry(walk, attributes);
}

// Deletes what lies in the directory at walk->path, which is restored
// before returning.
void deleteChildren(Walk* walk) {
    const auto deleteListed = [](void* context, const WIN32_FIND_DATAW& found) {
        Walk* const listing = static_cast<Walk*>(context);
        if (appendEntryName(&listing->path, found.cFileName)) {
            deleteEntry(listing);
        }
        return true;
    };
    listDirectory(&walk->path, &walk->found, deleteListed, walk);
}

// The root must still be the directory that was recorded: the same final
// path, a directory, and not a link put in its place.
bool isRecordedRoot(Walk* walk, HANDLE root) {
    std::size_t length = 0;
    if (!readFinalPathOf(walk->sources, root, walk->finalPath, kFinalPathCapacity, &length) ||
        length != walk->rootFinalLength ||
        wmemcmp(walk->finalPath, walk->rootFinalPath, length) != 0) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(root, &information)) {
        return false;
    }
    const DWORD attributes = information.dwFileAttributes;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// After a failed open: is there still a directory to try again? A directory
// already marked for deletion cannot be opened or asked about, and counts
// as gone.
bool directoryStillThere(const wchar_t* path) {
    const DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

bool readFinalPath(const wchar_t* path, wchar_t* finalPath, std::size_t capacity) {
    const FinalPathSources sources = findFinalPathSources();
    if (sources.finalPathOf == nullptr) {
        return false;
    }
    wchar_t extended[kWalkCapacity];
    WideText text = startWideText(extended, kWalkCapacity);
    if (!appendExtendedPath(&text, path)) {
        return false;
    }
    const HANDLE handle = openWithoutFollowing(extended, FILE_READ_ATTRIBUTES, kShareAll);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::size_t length = 0;
    const bool read = readFinalPathOf(sources, handle, finalPath, capacity, &length);
    systemCalls.closeHandle(handle);
    return read;
}

bool treeRemainsAfterDeleting(const wchar_t* root, const wchar_t* rootFinalPath) {
    Walk walk;
    walk.path = startWideText(walk.pathBuffer, kWalkCapacity);
    walk.rootFinalPath = rootFinalPath;
    walk.rootFinalLength = wcsnlen(rootFinalPath, kFinalPathCapacity);
    walk.sources = findFinalPathSources();
    if (walk.sources.finalPathOf == nullptr || !appendExtendedPath(&walk.path, root)) {
        return false;
    }
    const HANDLE held = openWithoutFollowing(walk.path.buffer, kInspectAccess, kNoDeleteSharing);
    if (held == INVALID_HANDLE_VALUE) {
        return directoryStillThere(walk.path.buffer);
    }
    const bool ours = isRecordedRoot(&walk, held);
    if (ours) {
        deleteChildren(&walk);
    }
    systemCalls.closeHandle(held);
    if (!ours) {
        return false;
    }
    const HANDLE directory =
        openWithoutFollowing(walk.path.buffer, kDeleteAccess, kNoDeleteSharing);
    if (directory == INVALID_HANDLE_VALUE) {
        return directoryStillThere(walk.path.buffer);
    }
    // Checked again: the root might have been swapped since it was held.
    bool remains = false;
    if (isRecordedRoot(&walk, directory)) {
        remains = !markForDeletion(directory);
    }
    systemCalls.closeHandle(directory);
    return remains;
}

bool isHeldEntryBelow(HANDLE entry, const wchar_t* rootFinalPath) {
    alignas(8) wchar_t finalPath[kFinalPathCapacity];
    std::size_t length = 0;
    return readFinalPathOf(findFinalPathSources(), entry, finalPath, kFinalPathCapacity, &length) &&
           isStrictlyBelow(finalPath, length, rootFinalPath,
                           wcsnlen(rootFinalPath, kFinalPathCapacity));
}

bool isHeldEntryNamed(HANDLE entry, const wchar_t* rootFinalPath, const wchar_t* name) {
    alignas(8) wchar_t finalPath[kFinalPathCapacity];
    std::size_t length = 0;
    const std::size_t rootLength = wcsnlen(rootFinalPath, kFinalPathCapacity);
    if (!readFinalPathOf(findFinalPathSources(), entry, finalPath, kFinalPathCapacity, &length) ||
        !isStrictlyBelow(finalPath, length, rootFinalPath, rootLength)) {
        return false;
    }
    const wchar_t* const tail = finalPath + rootLength + 1;
    return CompareStringOrdinal(tail, static_cast<int>(length - rootLength - 1), name, -1, TRUE) ==
           CSTR_EQUAL;
}

bool deleteHeldEntry(HANDLE entry, const wchar_t* rootFinalPath) {
    return isHeldEntryBelow(entry, rootFinalPath) && markForDeletion(entry);
}

bool markHeldForDeletion(HANDLE entry) {
    return markForDeletion(entry);
}

bool hasSingleLink(HANDLE entry) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(entry, &information) != FALSE &&
           information.nNumberOfLinks == 1;
}
