// The cached copy: find it complete and hold it, or make it; then run the
// application from it in this process. Which copy a start uses is settled
// by the marker's share modes and the rename, both of which the system
// performs atomically (launcher/cache.h).
//
// Checking a copy costs one directory listing per directory of the package
// and no open file but the marker: every file and directory that the
// package holds must be there, files with their sizes, which the record's
// listing gives as hashes, and with the last-write times that the marker
// recorded when the copy was complete. Files the application added are
// ignored, and so is content that changed without changing a size or a
// time.
#include "launcher/cache.h"

#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/cache_copy.h"
#include "launcher/directory_listing.h"
#include "launcher/run_directory.h"
#include "launcher/state.h"
#include "launcher/sweep.h"
#include "launcher/tree_delete.h"
#include "launcher/unpack.h"
#include "paths/extended_path.h"
#include "paths/unpack_spec.h"
#include "paths/wide_text.h"
#include "payload/cache_record.h"
#include "payload/format.h"
#include "payload/record_fields.h"
#include "payload/reader.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kPathCapacity = kTargetDirectoryCapacity;
constexpr std::size_t kSystemPathCapacity = kCopySystemPathCapacity;
// Renames that find the copy's name taken, each followed by an attempt to
// use or remove what took it, before the start gives up on the copy.
constexpr int kPlacingAttempts = 3;
// Renames refused because something (a virus scanner, say) still has a
// file of the new copy open: retried as the run directory's delete is.
constexpr int kBusyAttempts = 20;
constexpr DWORD kBusyPauseMs = 100;

// Process-wide, main thread only; launcher/state.h lists them all.
cache::Record record;
wchar_t cacheFolder[kPathCapacity];   // <root>\<folder>
wchar_t copyDirectory[kPathCapacity]; // <cacheFolder>\<copyName>
wchar_t copyName[cache::kKeyDigits + 1];
wchar_t newCopyPath[kPathCapacity]; // <cacheFolder>\<the run directory's name>
alignas(8) wchar_t newCopyFinalPath[kFinalPathCapacity];
HANDLE copyMarker = INVALID_HANDLE_VALUE;

// A new copy is made as a run directory of the cache folder.
const RunDirectory newCopy{newCopyPath, newCopyFinalPath};

const wchar_t* rootTemplate(cache::Root root) {
    switch (root) {
    case cache::Root::cacheDirectory:
        return L"{CACHE_DIR}";
    case cache::Root::temp:
        return L"{TEMP}";
    case cache::Root::home:
        break;
    }
    return L"{HOME}";
}

bool isAbsolute(const wchar_t* path) {
    return (path[0] != L'\0' && path[1] == L':' && path[2] == L'\\') ||
           (path[0] == L'\\' && path[1] == L'\\');
}

// The attributes of what stands at path, INVALID_FILE_ATTRIBUTES (with the
// last error) when nothing can be seen there.
DWORD attributesAt(const wchar_t* path) {
    wchar_t buffer[kSystemPathCapacity];
    return GetFileAttributesW(systemPathFor(path, kLongDirectoryPath, buffer, kSystemPathCapacity));
}

// True when nothing at all stands at path.
bool isNameFree(const wchar_t* path) {
    if (attributesAt(path) != INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool isRealDirectoryAt(const wchar_t* path) {
    return isRealDirectory(attributesAt(path));
}

// Reads the package's record and forms cacheFolder, copyName and
// copyDirectory from it. False for a package without a usable record, or
// when the root folder has no absolute path.
bool prepareCachePaths() {
    const AttachedData bytes = locateCacheRecord();
    if (!cache::parseRecord(bytes.bytes, static_cast<std::size_t>(bytes.size), &record) ||
        !expandUnpackSpec(cacheFolder, rootTemplate(record.root), kPathCapacity) ||
        !isAbsolute(cacheFolder)) {
        return false;
    }
    WideText folder = continueWideText(cacheFolder, kPathCapacity);
    const wchar_t separator = L'\\';
    if (!tryAppendWideUnits(&folder, &separator, 1)) {
        return false;
    }
    for (std::size_t index = 0; index < record.folderUnits; ++index) {
        const auto unit = static_cast<wchar_t>(cache::folderUnit(record, index));
        if (!tryAppendWideUnits(&folder, &unit, 1)) {
            return false;
        }
    }
    cache::formatKey(record.key, copyName);
    copyName[cache::kKeyDigits] = L'\0';
    WideText copy = startWideText(copyDirectory, kPathCapacity);
    return tryAppendWideUnits(&copy, folder.buffer, folder.length) &&
           tryAppendWideUnits(&copy, &separator, 1) &&
           tryAppendWideUnits(&copy, copyName, cache::kKeyDigits);
}

// Opens directory's marker for reading, sharing only reading: held, it
// keeps the copy from being removed. INVALID_HANDLE_VALUE when it cannot
// (no marker, or someone is removing the copy).
HANDLE openMarkerShared(const wchar_t* directory) {
    wchar_t path[kSystemPathCapacity];
    if (!formMarkerPath(directory, path)) {
        return INVALID_HANDLE_VALUE;
    }
    return systemCalls.createFile(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
}

// The marker's content (payload/cache_record.h) in a heap buffer, freed
// with free; null when it cannot be read, is not exactly of the marker's
// size, or does not name the key.
unsigned char* readMarker(HANDLE marker) {
    const std::size_t size = cache::markerSize(record);
    auto* const content = static_cast<unsigned char*>(malloc(size + 1));
    DWORD got = 0;
    bool named = content != nullptr &&
                 ReadFile(marker, content, static_cast<DWORD>(size + 1), &got, nullptr) &&
                 got == size;
    for (std::size_t index = 0; named && index < cache::kKeyDigits; ++index) {
        named = static_cast<wchar_t>(content[index]) == copyName[index];
    }
    if (!named) {
        free(content);
        return nullptr;
    }
    return content;
}

// What a walk over a copy does with each file's last-write time: compare
// it with the marker's, or keep it for the marker of a new copy.
enum class Times { compare, keep };

// One check's state, on the main thread's stack.
struct Check {
    WideText path;          // the directory being listed, extended form
    std::size_t copyLength; // of the copy's own path in path
    unsigned char* seen;    // a bit per listing entry
    std::uint32_t found;    // listing entries seen
    unsigned char* times;   // the marker's times, one per listing entry
    Times use;
    WIN32_FIND_DATAW entry;
    wchar_t pathBuffer[kSystemPathCapacity];
};

// The listing hash of the entry at check->path, named relative to the copy.
std::uint64_t hashOfEntry(const Check& check, bool isDirectory) {
    cache::ListingHash hash =
        cache::startListingHash(isDirectory ? cache::EntryKind::directory : cache::EntryKind::file);
    for (std::size_t index = check.copyLength + 1; index < check.path.length; ++index) {
        cache::addListingUnit(&hash, check.path.buffer[index]);
    }
    const std::uint64_t size = isDirectory
                                   ? 0
                                   : (static_cast<std::uint64_t>(check.entry.nFileSizeHigh) << 32) |
                                         check.entry.nFileSizeLow;
    return cache::finishListingHash(hash, size);
}

// Compares or records the last-write time of the listed file at index.
bool hasListedTime(Check* check, std::size_t index) {
    unsigned char* const time = check->times + cache::kMarkerTimeSize * index;
    const FILETIME& written = check->entry.ftLastWriteTime;
    const std::uint64_t value =
        (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
    if (check->use == Times::keep) {
        record_fields::storeLittleEndian(time, value, cache::kMarkerTimeSize);
        return true;
    }
    return record_fields::loadLittleEndian(time, cache::kMarkerTimeSize) == value;
}

void checkDirectory(Check* check);

// Notes the listed entry that check->entry describes, and goes into a
// listed directory; links are neither counted nor entered, and a file
// whose time differs is not counted.
bool checkEntry(void* context, const WIN32_FIND_DATAW& entry) {
    Check* const check = static_cast<Check*>(context);
    const DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !appendEntryName(&check->path, entry.cFileName)) {
        return true;
    }
    const bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const std::int64_t index = cache::findListed(record, hashOfEntry(*check, isDirectory));
    if (index >= 0 && (isDirectory || hasListedTime(check, static_cast<std::size_t>(index)))) {
        const auto bit = static_cast<std::size_t>(index);
        if ((check->seen[bit / 8] & (1u << (bit % 8))) == 0) {
            check->seen[bit / 8] =
                static_cast<unsigned char>(check->seen[bit / 8] | (1u << (bit % 8)));
            ++check->found;
        }
        if (isDirectory) {
            checkDirectory(check);
        }
    }
    return true;
}

// Notes every listed entry of the directory at check->path, and of the
// listed directories below it.
void checkDirectory(Check* check) {
    listDirectory(&check->path, &check->entry, checkEntry, check);
}

// True when every file and directory of the listing is in the copy at
// directory, each file with its size; each file's last-write time is
// compared with times (the marker's, after the key), or kept there.
bool isCopyComplete(const wchar_t* directory, unsigned char* times, Times use) {
    Check check;
    check.path = startWideText(check.pathBuffer, kSystemPathCapacity);
    if (!appendExtendedPath(&check.path, directory)) {
        return false;
    }
    check.copyLength = check.path.length;
    check.seen = static_cast<unsigned char*>(calloc(record.listed / 8 + 1, 1));
    if (check.seen == nullptr) {
        return false;
    }
    check.found = 0;
    check.times = times;
    check.use = use;
    checkDirectory(&check);
    free(check.seen);
    return check.found == record.listed;
}

// What holdCopy checks before it holds a copy: a copy that this process has
// just renamed into place is known to be complete.
enum class CopyCheck { listing, markerOnly };

// Holds the copy at directory when it is complete: its marker stays open
// for the rest of the process.
bool holdCopy(const wchar_t* directory, CopyCheck check = CopyCheck::listing) {
    if (!isRealDirectoryAt(directory)) {
        return false;
    }
    const HANDLE marker = openMarkerShared(directory);
    if (marker == INVALID_HANDLE_VALUE) {
        return false;
    }
    unsigned char* const content = readMarker(marker);
    const bool complete = content != nullptr &&
                          (check == CopyCheck::markerOnly ||
                           isCopyComplete(directory, content + cache::kKeyDigits, Times::compare));
    free(content);
    if (!complete) {
        systemCalls.closeHandle(marker);
        return false;
    }
    copyMarker = marker;
    return true;
}

// Removes this package's own copy when it is not in use, marker or not: a
// directory of that name is this package's, made by a launcher (no one
// else names one after a 128-bit key), and without a marker no one runs
// from it. Only the directory that the name says, never a link's target.
void removeOwnCopy() {
    alignas(8) wchar_t folderFinal[kFinalPathCapacity];
    alignas(8) wchar_t copyFinal[kFinalPathCapacity];
    wchar_t extended[kSystemPathCapacity];
    WideText path = startWideText(extended, kSystemPathCapacity);
    if (!isRealDirectoryAt(copyDirectory) || !appendExtendedPath(&path, copyDirectory) ||
        !readFinalPath(cacheFolder, folderFinal, kFinalPathCapacity) ||
        !readFinalPath(copyDirectory, copyFinal, kFinalPathCapacity)) {
        return;
    }
    const std::size_t folderLength = wcsnlen(folderFinal, kFinalPathCapacity);
    if (wcsncmp(copyFinal, folderFinal, folderLength) != 0 || copyFinal[folderLength] != L'\\' ||
        wcscmp(copyFinal + folderLength + 1, copyName) != 0) {
        return;
    }
    removeUnusedCopy(extended, copyFinal, CopyWithoutMarker::remove);
}

// Deletes the new copy (the armed run directory) and lets it go.
void abandonNewCopy() {
    closeEntryFile();
    releaseReader();
    deleteRunDirectory();
    releaseRunDirectory();
}

// The marker, last: hidden, holding the key's digits and the times that
// the listing of the complete copy shows.
bool writeMarker(const wchar_t* directory) {
    wchar_t path[kSystemPathCapacity];
    const std::size_t size = cache::markerSize(record);
    auto* const content = static_cast<unsigned char*>(calloc(size, 1));
    if (content == nullptr || !formMarkerPath(directory, path) ||
        !isCopyComplete(directory, content + cache::kKeyDigits, Times::keep)) {
        free(content);
        return false;
    }
    cache::formatKey(record.key, content);
    const HANDLE marker = systemCalls.createFile(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                 FILE_ATTRIBUTE_HIDDEN, nullptr);
    DWORD written = 0;
    const bool wrote =
        marker != INVALID_HANDLE_VALUE &&
        systemCalls.writeFile(marker, content, static_cast<DWORD>(size), &written, nullptr) != 0 &&
        written == size;
    if (marker != INVALID_HANDLE_VALUE) {
        systemCalls.closeHandle(marker);
    }
    free(content);
    return wrote;
}

// Unpacks a new copy into a run directory of the cache folder, named as the
// unpack spec names this run's, and marks it complete. False, with the new
// copy deleted, when any of it fails, also when the unpacked files are not
// what the record lists.
bool makeNewCopy(const AttachedData& data) {
    const wchar_t* const runName = wcsrchr(targetDirectory, L'\\');
    WideText path = startWideText(newCopyPath, kPathCapacity);
    if (runName == nullptr || !tryAppendWideUnits(&path, cacheFolder, wcslen(cacheFolder)) ||
        !tryAppendWideUnits(&path, runName, wcslen(runName))) {
        return false;
    }
    createRunDirectory(newCopy);
    if (armedRunDirectory() != &newCopy) {
        return false;
    }
    createReader(data.bytes + attached::kHeaderSize, data.size - attached::kHeaderSize);
    if (!unpackAllEntries(newCopyPath, WriteFailures::returnFalse) || !writeMarker(newCopyPath)) {
        abandonNewCopy();
        return false;
    }
    return true;
}

bool renameToCopy() {
    wchar_t from[kSystemPathCapacity];
    wchar_t to[kSystemPathCapacity];
    WideText fromPath = startWideText(from, kSystemPathCapacity);
    WideText toPath = startWideText(to, kSystemPathCapacity);
    return appendExtendedPath(&fromPath, newCopyPath) &&
           appendExtendedPath(&toPath, copyDirectory) && systemCalls.moveFile(from, to, 0) != FALSE;
}

// Gives the new copy the copy's name. When that name is taken (another
// first start was quicker, or a damaged copy is there), uses what is there
// if it is complete, or removes it if it is not in use, and tries again.
// True when this process holds the copy; the new copy is gone either way.
bool placeNewCopy() {
    // A renaming needs delete access to the directory, which the hold
    // refuses to everyone.
    letGoOfRunDirectory();
    int busy = 0;
    for (int attempt = 0; attempt < kPlacingAttempts;) {
        if (renameToCopy()) {
            releaseRunDirectory();
            return holdCopy(copyDirectory, CopyCheck::markerOnly);
        }
        const DWORD error = GetLastError();
        if ((error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) &&
            ++busy < kBusyAttempts) {
            systemCalls.sleep(kBusyPauseMs);
            continue;
        }
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            break;
        }
        ++attempt;
        if (holdCopy(copyDirectory)) {
            deleteRunDirectory();
            releaseRunDirectory();
            return true;
        }
        removeOwnCopy();
    }
    deleteRunDirectory();
    releaseRunDirectory();
    return false;
}

} // namespace

bool runFromCachedCopy(const AttachedData& data, int* exitCode) {
    if (!prepareCachePaths()) {
        return false;
    }
    if (!holdCopy(copyDirectory)) {
        // A damaged copy that no one uses goes first, so that the new one can
        // take its name.
        removeOwnCopy();
        // What could not be removed (a damaged copy in use, a link, a file)
        // keeps the name from a new copy too: no unpacking in vain.
        if (!isNameFree(copyDirectory) || !makeNewCopy(data) || !placeNewCopy()) {
            return false;
        }
    }
    sweepCacheFolder(cacheFolder, copyName);
    *exitCode = runHeldCopy(data);
    return true;
}

const wchar_t* directoryForChild() {
    if (isRealDirectoryAt(targetDirectory) || !prepareCachePaths()) {
        return targetDirectory;
    }
    copyMarker = openMarkerShared(copyDirectory);
    return copyDirectory;
}

const wchar_t* heldCopyDirectory() {
    return copyDirectory;
}

bool isListedFile(const wchar_t* name, std::uint64_t size) {
    cache::ListingHash hash = cache::startListingHash(cache::EntryKind::file);
    for (const wchar_t* unit = name; *unit != L'\0'; ++unit) {
        cache::addListingUnit(&hash, *unit);
    }
    return cache::findListed(record, cache::finishListingHash(hash, size)) >= 0;
}
