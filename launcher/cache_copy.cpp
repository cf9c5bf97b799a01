#include "launcher/cache_copy.h"

#include <windows.h>
#include <wchar.h>

#include "launcher/directory_listing.h"
#include "launcher/tree_delete.h"
#include "paths/wide_text.h"
#include "payload/cache_record.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kMarkerLength = sizeof(cache::kMarkerName) - 1;

bool isMarkerName(const wchar_t* name) {
    if (wcslen(name) != kMarkerLength) {
        return false;
    }
    for (std::size_t index = 0; index < kMarkerLength; ++index) {
        if (name[index] != static_cast<wchar_t>(cache::kMarkerName[index])) {
            return false;
        }
    }
    return true;
}

// True when the directory at path (extended form) holds the marker and
// nothing else.
bool holdsOnlyMarker(const wchar_t* path) {
    wchar_t buffer[kCopySystemPathCapacity];
    WideText text = startWideText(buffer, kCopySystemPathCapacity);
    if (!tryAppendWideUnits(&text, path, wcslen(path))) {
        return false;
    }
    const auto isMarker = [](void*, const WIN32_FIND_DATAW& found) {
        return isMarkerName(found.cFileName);
    };
    WIN32_FIND_DATAW found;
    return listDirectory(&text, &found, isMarker, nullptr);
}

// Empties the marker held alone for a removal: a start that opens it after
// the removal has let go of it (a file held open elsewhere keeps the marker
// in place) finds no key there, and never runs what is left of the copy.
bool emptyMarker(HANDLE marker) {
    FILE_END_OF_FILE_INFO end{};
    return systemCalls.setFileInformation(marker, FileEndOfFileInfo, &end, sizeof(end)) != FALSE;
}

} // namespace

bool isCopyName(const wchar_t* name) {
    std::size_t length = 0;
    for (; name[length] != L'\0'; ++length) {
        const wchar_t unit = name[length];
        if (length == cache::kKeyDigits ||
            !((unit >= L'0' && unit <= L'9') || (unit >= L'a' && unit <= L'f'))) {
            return false;
        }
    }
    return length == cache::kKeyDigits;
}

bool formMarkerPath(const wchar_t* directory, wchar_t* buffer) {
    WideText path = startWideText(buffer, kCopySystemPathCapacity);
    const wchar_t separator = L'\\';
    if (!appendExtendedPath(&path, directory) || !tryAppendWideUnits(&path, &separator, 1)) {
        return false;
    }
    for (std::size_t index = 0; index < kMarkerLength; ++index) {
        const auto unit = static_cast<wchar_t>(cache::kMarkerName[index]);
        if (!tryAppendWideUnits(&path, &unit, 1)) {
            return false;
        }
    }
    return true;
}

bool removeUnusedCopy(const wchar_t* path, const wchar_t* finalPath,
                      CopyWithoutMarker withoutMarker) {
    wchar_t markerPath[kCopySystemPathCapacity];
    if (!formMarkerPath(path, markerPath)) {
        return false;
    }
    const HANDLE marker =
        systemCalls.createFile(markerPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND || withoutMarker == CopyWithoutMarker::keep) {
            return false;
        }
        return !treeRemainsAfterDeleting(path, finalPath);
    }
    // A marker that is a link to elsewhere (a Linux one shows no reparse
    // point under Wine) is never written through.
    // Nor is one with another hard link: emptying it would empty that too.
    if (!isHeldEntryBelow(marker, finalPath) || !hasSingleLink(marker) || !emptyMarker(marker)) {
        systemCalls.closeHandle(marker);
        return false;
    }
    // Held alone, the marker stays while everything else goes, and goes
    // only when nothing else is left: a removal cut short, or one that
    // finds a file still open, leaves a copy that is still known as one.
    treeRemainsAfterDeleting(path, finalPath);
    const bool marked = holdsOnlyMarker(path) && deleteHeldEntry(marker, finalPath);
    systemCalls.closeHandle(marker);
    return marked && !treeRemainsAfterDeleting(path, finalPath);
}
