// The cached copy on Linux: find it complete and hold it, or make it; then
// run the application from it in this process. Which copy a start uses is
// settled by the marker's flock and the rename, both of which the system
// performs atomically (launcher/cache_linux.h).
//
// The record's listing hashes names as the package spells them (UTF-16,
// '\' separated), so each name that a check lists is decoded from UTF-8
// and hashed unit by unit, under both kinds at once: a directory's name is
// the start of every name below it.
#include "launcher/cache_linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/child_linux.h"
#include "launcher/run_directory_linux.h"
#include "launcher/stop_signals_linux.h"
#include "launcher/sweep_linux.h"
#include "launcher/tree_delete_linux.h"
#include "launcher/unpack_linux.h"
#include "paths/path_text.h"
#include "paths/spec_values.h"
#include "paths/unpack_spec.h"
#include "payload/cache_record.h"
#include "payload/entry_names.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "payload/record_fields.h"
#include "resources/product.h"

namespace {

constexpr std::size_t kPathCapacity = kRunPathCapacity;
constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Never a link, and never a wait on a FIFO put in the marker's place.
constexpr int kOpenMarker = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr mode_t kMarkerMode = 0600;
// Renames that find the copy's name taken, each followed by an attempt to
// use or remove what took it, before the start gives up on the copy.
constexpr int kPlacingAttempts = 3;
// Names tried for a copy being removed, each with the time of the try.
constexpr int kRemovalNameAttempts = 3;
constexpr std::uint64_t kNanosecondsPerSecond = 1000000000;
constexpr char16_t kPackageSeparator = u'\\';
constexpr std::size_t kListingBufferSize = 32768;

// Process-wide, main thread only (launcher/state_linux.h lists them all).
cache::Record record;
char cacheFolder[kPathCapacity];
char copyPath[kPathCapacity]; // <cacheFolder>/<copyName>
char copyName[cache::kKeyDigits + 1];
int folderDescriptor = -1; // the cache folder
int copyMarker = -1;       // held with a shared lock while the copy runs

const char* rootTemplate(cache::Root root) {
    switch (root) {
    case cache::Root::cacheDirectory:
        return "{CACHE_DIR}";
    case cache::Root::temp:
        return "{TEMP}";
    case cache::Root::home:
        break;
    }
    return "{HOME}";
}

// Appends the record's folder (UTF-16, '\' separated) as a UTF-8 path.
bool appendRecordFolder(PathText* path) {
    char16_t units[cache::kLongestFolder + 1];
    for (std::size_t index = 0; index < record.folderUnits; ++index) {
        units[index] = static_cast<char16_t>(cache::folderUnit(record, index));
    }
    units[record.folderUnits] = u'\0';
    char folder[kPathCapacity];
    const char separator = '/';
    return convertEntryNameToUtf8(units, folder, kPathCapacity) &&
           tryAppendUnits(path, &separator, 1) &&
           tryAppendUnits(path, folder, strnlen(folder, kPathCapacity));
}

// Reads the package's record and forms cacheFolder, copyName and copyPath
// from it. False for a package without a usable record, or when the root
// folder has no absolute path.
bool prepareCachePaths() {
    const AttachedData bytes = locateCacheRecord();
    if (!cache::parseRecord(bytes.bytes, static_cast<std::size_t>(bytes.size), &record) ||
        !expandUnpackSpec(cacheFolder, rootTemplate(record.root), kPathCapacity) ||
        cacheFolder[0] != '/') {
        return false;
    }
    PathText folder = continueText(cacheFolder, kPathCapacity);
    if (!appendRecordFolder(&folder)) {
        return false;
    }
    cache::formatKey(record.key, copyName);
    copyName[cache::kKeyDigits] = '\0';
    PathText copy = startText(copyPath, kPathCapacity);
    const char separator = '/';
    return tryAppendUnits(&copy, folder.buffer, folder.length) &&
           tryAppendUnits(&copy, &separator, 1) &&
           tryAppendUnits(&copy, copyName, cache::kKeyDigits);
}

// Both hashes that a name can end in: a file's and a directory's.
struct NameHashes {
    cache::ListingHash file;
    cache::ListingHash directory;
};

void addUnit(NameHashes* hashes, std::uint32_t unit) {
    cache::addListingUnit(&hashes->file, unit);
    cache::addListingUnit(&hashes->directory, unit);
}

// The code point that starts at *at (strict UTF-8: no overlong form, no
// surrogate, nothing past U+10FFFF), moving *at past it; -1 for bytes that
// are not UTF-8.
std::int32_t decodeCodePoint(const unsigned char** at) {
    const unsigned char* bytes = *at;
    const unsigned lead = bytes[0];
    int trailing = 0;
    std::uint32_t point = lead;
    std::uint32_t smallest = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        point = lead & 0x07;
        smallest = 0x10000;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        point = lead & 0x0F;
        smallest = 0x800;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        point = lead & 0x1F;
        smallest = 0x80;
    } else if (lead >= 0x80) {
        return -1;
    }
    for (int index = 1; index <= trailing; ++index) {
        if ((bytes[index] & 0xC0) != 0x80) {
            return -1;
        }
        point = (point << 6) | (bytes[index] & 0x3F);
    }
    if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return -1;
    }
    *at = bytes + 1 + trailing;
    return static_cast<std::int32_t>(point);
}

// Adds name's UTF-16 units to both hashes. False for a name that no entry
// of a package can have: not UTF-8, or holding the package's separator.
bool addName(NameHashes* hashes, const char* name) {
    const auto* at = reinterpret_cast<const unsigned char*>(name);
    while (*at != '\0') {
        const std::int32_t point = decodeCodePoint(&at);
        if (point < 0 || point == kPackageSeparator) {
            return false;
        }
        if (point >= 0x10000) {
            const auto above = static_cast<std::uint32_t>(point - 0x10000);
            addUnit(hashes, 0xD800 + (above >> 10));
            addUnit(hashes, 0xDC00 + (above & 0x3FF));
        } else {
            addUnit(hashes, static_cast<std::uint32_t>(point));
        }
    }
    return true;
}

// What a walk over a copy does with each file's time: compare it with the
// marker's, or keep it for the marker of a new copy.
enum class Times { compare, keep };

// One check's state, on the main thread's stack.
struct Check {
    unsigned char* seen;  // a bit per listing entry
    std::uint32_t found;  // listing entries seen
    unsigned char* times; // the marker's times, one per listing entry
    Times use;
};

std::uint64_t changeTimeOf(const struct stat& status) {
    return static_cast<std::uint64_t>(status.st_ctim.tv_sec) * kNanosecondsPerSecond +
           static_cast<std::uint64_t>(status.st_ctim.tv_nsec);
}

// Compares or records the change time of the listed file at index.
bool hasListedTime(Check* check, std::size_t index, const struct stat& status) {
    unsigned char* const time = check->times + cache::kMarkerTimeSize * index;
    if (check->use == Times::keep) {
        record_fields::storeLittleEndian(time, changeTimeOf(status), cache::kMarkerTimeSize);
        return true;
    }
    return record_fields::loadLittleEndian(time, cache::kMarkerTimeSize) == changeTimeOf(status);
}

// Notes the listing entry at index as seen; false when it was already.
bool markSeen(Check* check, std::int64_t index) {
    const auto bit = static_cast<std::size_t>(index);
    const auto mask = static_cast<unsigned char>(1u << (bit % 8));
    if ((check->seen[bit / 8] & mask) != 0) {
        return false;
    }
    check->seen[bit / 8] = static_cast<unsigned char>(check->seen[bit / 8] | mask);
    ++check->found;
    return true;
}

void checkDirectory(Check* check, int directory, const NameHashes& prefix);

// Notes the file name of directory when it is listed with its size and
// time.
void checkFile(Check* check, int directory, const char* name, const NameHashes& hashes) {
    struct stat status {};
    if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) {
        return;
    }
    const std::int64_t index = cache::findListed(
        record, cache::finishListingHash(hashes.file, static_cast<std::uint64_t>(status.st_size)));
    if (index >= 0 && hasListedTime(check, static_cast<std::size_t>(index), status)) {
        markSeen(check, index);
    }
}

// Notes the entry name of directory (of the kind that the listing gives)
// when it is listed, and goes into a listed directory: a directory costs
// no stat, since opening it without following links proves its kind.
// Links and other kinds are neither counted nor entered, and a file whose
// time differs is not counted.
void checkEntry(Check* check, int directory, const char* name, unsigned char kind,
                const NameHashes& prefix) {
    NameHashes hashes = prefix;
    if (!addName(&hashes, name)) {
        return;
    }
    if (kind == DT_UNKNOWN) {
        struct stat status {};
        if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            return;
        }
        kind = S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG : DT_LNK;
    }
    if (kind == DT_REG) {
        checkFile(check, directory, name, hashes);
        return;
    }
    if (kind != DT_DIR) {
        return;
    }
    const std::int64_t index =
        cache::findListed(record, cache::finishListingHash(hashes.directory, 0));
    const int below = index >= 0 ? openat(directory, name, kOpenDirectory) : -1;
    if (below < 0) {
        return;
    }
    if (!markSeen(check, index)) {
        close(below);
        return;
    }
    addUnit(&hashes, kPackageSeparator);
    checkDirectory(check, below, hashes);
}

// Notes every listed entry of the directory open as directory (which it
// closes), and of the listed directories below it. Reads the listing
// itself: a directory stream would cost two more system calls per
// directory.
void checkDirectory(Check* check, int directory, const NameHashes& prefix) {
    auto* const buffer = static_cast<char*>(malloc(kListingBufferSize));
    for (ssize_t got = buffer != nullptr ? getdents64(directory, buffer, kListingBufferSize) : -1;
         got > 0; got = getdents64(directory, buffer, kListingBufferSize)) {
        for (ssize_t at = 0; at < got;) {
            const auto* const entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                checkEntry(check, directory, entry->d_name, entry->d_type, prefix);
            }
        }
    }
    free(buffer);
    close(directory);
}

// True when every file and directory of the listing is in the copy open as
// copy, each file with its size; each file's change time is compared with
// times (the marker's, after the key), or kept there.
bool isCopyComplete(int copy, unsigned char* times, Times use) {
    Check check{static_cast<unsigned char*>(calloc(record.listed / 8 + 1, 1)), 0, times, use};
    const int root = openat(copy, ".", kOpenDirectory);
    if (check.seen == nullptr || root < 0) {
        free(check.seen);
        if (root >= 0) {
            close(root);
        }
        return false;
    }
    const NameHashes start{cache::startListingHash(cache::EntryKind::file),
                           cache::startListingHash(cache::EntryKind::directory)};
    checkDirectory(&check, root, start);
    free(check.seen);
    return check.found == record.listed;
}

// Opens the directory name of folder when it is a real directory of this
// user; -1 otherwise.
int openOwnDirectory(int folder, const char* name) {
    const int directory = openat(folder, name, kOpenDirectory);
    struct stat status {};
    if (directory >= 0 && (fstat(directory, &status) != 0 || status.st_uid != geteuid())) {
        close(directory);
        return -1;
    }
    return directory;
}

// A plain file of this user with no other name: writing it cannot change
// anything elsewhere.
bool isOwnSingleFile(int file) {
    struct stat status {};
    return fstat(file, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1 &&
           status.st_uid == geteuid();
}

// The marker's content in a heap buffer, freed with free; null when it
// cannot be read, is not exactly of the marker's size, or does not name the
// key.
unsigned char* readMarker(int marker) {
    const std::size_t size = cache::markerSize(record);
    auto* const content = static_cast<unsigned char*>(malloc(size + 1));
    std::size_t got = 0;
    while (content != nullptr && got <= size) {
        const ssize_t read = pread(marker, content + got, size + 1 - got, static_cast<off_t>(got));
        if (read <= 0) {
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    if (content == nullptr || got != size || memcmp(content, copyName, cache::kKeyDigits) != 0) {
        free(content);
        return nullptr;
    }
    return content;
}

// What holdCopy checks before it holds a copy.
enum class CopyCheck { listing, markerOnly };

// Holds the copy when it is complete: its marker stays open, with a shared
// lock, for the rest of the process.
bool holdCopy(CopyCheck check) {
    const int copy = openOwnDirectory(folderDescriptor, copyName);
    if (copy < 0) {
        return false;
    }
    const int marker = openat(copy, cache::kMarkerName, O_RDONLY | kOpenMarker);
    unsigned char* const content =
        marker >= 0 && flock(marker, LOCK_SH | LOCK_NB) == 0 ? readMarker(marker) : nullptr;
    const bool complete =
        content != nullptr && (check == CopyCheck::markerOnly ||
                               isCopyComplete(copy, content + cache::kKeyDigits, Times::compare));
    free(content);
    close(copy);
    if (!complete) {
        if (marker >= 0) {
            close(marker);
        }
        return false;
    }
    copyMarker = marker;
    return true;
}

// Writes the marker into the new copy open as run, last: the key's digits
// and the times that the listing of the complete copy shows. Returns it
// open, with a shared lock, so that the copy is held from the moment it
// gets its name; -1 when it cannot, also when the copy is not what the
// record lists.
int writeMarker(int run) {
    const std::size_t size = cache::markerSize(record);
    auto* const content = static_cast<unsigned char*>(calloc(size, 1));
    if (content == nullptr || !isCopyComplete(run, content + cache::kKeyDigits, Times::keep)) {
        free(content);
        return -1;
    }
    cache::formatKey(record.key, content);
    int marker =
        openat(run, cache::kMarkerName, O_WRONLY | O_CREAT | O_EXCL | kOpenMarker, kMarkerMode);
    // A short write is a full disk here: the copy is given up.
    if (marker >= 0 && (write(marker, content, size) != static_cast<ssize_t>(size) ||
                        flock(marker, LOCK_SH | LOCK_NB) != 0)) {
        close(marker);
        marker = -1;
    }
    free(content);
    return marker;
}

// Deletes the new copy (a run directory) and lets it go.
void abandonNewCopy() {
    deleteRunDirectory();
    leaveRunDirectory();
    static_cast<void>(expandRunDirectory());
}

// Unpacks a new copy into a run directory of the cache folder and marks it
// complete. Returns its marker, held; -1, with the new copy deleted and the
// run directory's path back as it was, when any of it fails.
int makeNewCopy(const AttachedData& data) {
    if (!createRunDirectoryIn(folderDescriptor, cacheFolder)) {
        return -1;
    }
    createReader(data.bytes + attached::kHeaderSize, data.size - attached::kHeaderSize);
    const int marker =
        unpackAllEntries(WriteFailures::returnFalse) ? writeMarker(runDirectoryDescriptor()) : -1;
    if (marker < 0) {
        abandonNewCopy();
    }
    return marker;
}

// Gives the new copy the copy's name, replacing nothing; errno says why
// not.
bool renameToCopy() {
    const char* const from = runDirectoryName();
    if (renameat2(folderDescriptor, from, folderDescriptor, copyName, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL) {
        return false;
    }
    // A file system without RENAME_NOREPLACE: a plain rename would replace
    // an empty directory of that name.
    struct stat taken {};
    if (fstatat(folderDescriptor, copyName, &taken, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return renameat(folderDescriptor, from, folderDescriptor, copyName) == 0;
}

// Gives the new copy, whose marker is held as marker, the copy's name. When
// that name is taken (another first start was quicker, or a damaged copy is
// there), uses what is there if it is complete, or removes it if it is not
// in use, and tries again. True when this process holds the copy; the new
// copy is gone or has become the copy either way.
bool placeNewCopy(int marker) {
    for (int attempt = 0; attempt < kPlacingAttempts; ++attempt) {
        if (renameToCopy()) {
            leaveRunDirectory();
            static_cast<void>(expandRunDirectory());
            copyMarker = marker;
            return true;
        }
        if ((errno != EEXIST && errno != ENOTEMPTY) || holdCopy(CopyCheck::listing)) {
            break;
        }
        removeUnusedCopy(folderDescriptor, copyName, CopyWithoutMarker::remove);
    }
    close(marker);
    abandonNewCopy();
    return copyMarker >= 0;
}

// True when the listing holds a file of that name (as the package spells
// it) and size.
bool isListedFile(const char16_t* name, std::uint64_t size) {
    cache::ListingHash hash = cache::startListingHash(cache::EntryKind::file);
    for (const char16_t* unit = name; *unit != u'\0'; ++unit) {
        cache::addListingUnit(&hash, *unit);
    }
    return cache::findListed(record, cache::finishListingHash(hash, size)) >= 0;
}

// Runs the application from the held copy in this process, as the forked
// child of an ordinary run would: the variables published, the signals as
// the launcher got them.
int runHeldCopy(const AttachedData& data) {
    if (!setRunDirectoryPath(copyPath)) {
        abnormalEnd();
    }
    restoreStartSignals();
    publishRunVariables();
    createReader(data.bytes + attached::kHeaderSize, data.size - attached::kHeaderSize);
    // The frame is not read to its end here: the copy holds what runs, and
    // its check has shown it complete. But the main file's name comes from
    // the frame, so it must name a listed file of its size.
    std::uint64_t size = 0;
    const char16_t* const mainName = readMainEntry(&size);
    if (!isListedFile(mainName, size)) {
        fatalError("Error, couldn't decode attached data.");
    }
    releaseReader();
    return runApplication();
}

bool isNameFree(int folder, const char* name) {
    struct stat status {};
    return fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
}

// A run directory's name of this process's own, at this moment, into name.
void formRemovalName(char* name, std::size_t capacity) {
    PathText text = startText(name, capacity);
    for (const wchar_t* unit = product::kRunDirectoryPrefix; *unit != L'\0'; ++unit) {
        appendUnit(&text, static_cast<char>(*unit));
    }
    appendCurrentProcessId(&text);
    appendUnit(&text, '_');
    char now[kStartTimeCapacity];
    formatCurrentTime(now, kStartTimeCapacity);
    appendText(&text, static_cast<const char*>(now));
}

// Moves the copy name of folder, open and locked as copy, to a run
// directory's name of this process and deletes it there: a removal cut
// short leaves a run that is over, which a later sweep finishes.
bool deleteCopy(int folder, const char* name, int copy) {
    struct stat opened {};
    struct stat named {};
    if (fstat(copy, &opened) != 0 || fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        return false;
    }
    char removal[kPathCapacity];
    for (int attempt = 0; attempt < kRemovalNameAttempts; ++attempt) {
        formRemovalName(removal, kPathCapacity);
        if (renameat2(folder, name, folder, removal, RENAME_NOREPLACE) == 0) {
            return deleteLockedDirectory(folder, removal, copy);
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

} // namespace

bool runFromCachedCopy(const AttachedData& data, int* exitCode) {
    if (!prepareCachePaths()) {
        return false;
    }
    folderDescriptor = openUsableDirectory(cacheFolder, true);
    if (folderDescriptor < 0) {
        return false;
    }
    if (!holdCopy(CopyCheck::listing)) {
        // A damaged copy that no one uses goes first, so that the new one
        // can take its name.
        removeUnusedCopy(folderDescriptor, copyName, CopyWithoutMarker::remove);
        // What could not be removed (a damaged copy in use, a link, a file)
        // keeps the name from a new copy too: no unpacking in vain.
        const int marker = isNameFree(folderDescriptor, copyName) ? makeNewCopy(data) : -1;
        if (marker < 0 || !placeNewCopy(marker)) {
            close(folderDescriptor);
            folderDescriptor = -1;
            return false;
        }
    }
    sweepCacheFolder(folderDescriptor, copyName);
    sweepRunPlace();
    *exitCode = runHeldCopy(data);
    return true;
}

bool useCachedCopyInChild() {
    if (!prepareCachePaths()) {
        return false;
    }
    folderDescriptor = openUsableDirectory(cacheFolder, false);
    return folderDescriptor >= 0 && holdCopy(CopyCheck::markerOnly) &&
           setRunDirectoryPath(copyPath);
}

bool isCopyName(const char* name) {
    std::size_t length = 0;
    for (; name[length] != '\0'; ++length) {
        const char unit = name[length];
        if (length == cache::kKeyDigits ||
            !((unit >= '0' && unit <= '9') || (unit >= 'a' && unit <= 'f'))) {
            return false;
        }
    }
    return length == cache::kKeyDigits;
}

bool removeUnusedCopy(int folder, const char* name, CopyWithoutMarker withoutMarker) {
    const int copy = openOwnDirectory(folder, name);
    if (copy < 0) {
        return false;
    }
    const int marker = openat(copy, cache::kMarkerName, O_RDWR | kOpenMarker);
    bool removable = false;
    if (marker < 0) {
        removable = errno == ENOENT && withoutMarker == CopyWithoutMarker::remove;
    } else {
        // Emptied while held alone: a start that opens it after the removal
        // has let go finds no key there, and never runs what is left.
        removable = flock(marker, LOCK_EX | LOCK_NB) == 0 && isOwnSingleFile(marker) &&
                    ftruncate(marker, 0) == 0;
    }
    const bool gone =
        removable && flock(copy, LOCK_EX | LOCK_NB) == 0 && deleteCopy(folder, name, copy);
    if (marker >= 0) {
        close(marker);
    }
    close(copy);
    return gone;
}
