// The launcher's own path in two cached forms, and the resolution that turns
// an executable's reported path into its final, prefix-free, short form.
#include "paths/executable_path.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "diagnostics/diagnostics.h"
#include "paths/wide_text.h"
#include "system/system_calls.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE; // 7
constexpr DWORD kFinalPathFlags = 0; // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS

// "\\?\" and "\\?\UNC\": the extended-length prefixes of a final path.
constexpr std::size_t kExtendedPrefixLength = 4;
constexpr std::size_t kUncPrefixLength = 8;
constexpr std::size_t kDriveColonIndex = 5;
// The UNC rule keeps "C\server..." and turns that 'C' into the second
// backslash, so the text moves by six, not eight.
constexpr std::size_t kUncShift = 6;

// Process-wide, main thread only; launcher/state.h lists them all.
wchar_t plainPathCache[kExecutablePathCapacity];
wchar_t resolvedPathCache[kExecutablePathCapacity];

bool hasExtendedPrefix(const wchar_t* path) {
    return path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?' && path[3] == L'\\';
}

bool isExtendedDrivePath(const wchar_t* path, std::size_t length) {
    return length > kDriveColonIndex && hasExtendedPrefix(path) && path[kDriveColonIndex] == L':';
}

bool isExtendedUncPath(const wchar_t* path, std::size_t length) {
    return length >= kUncPrefixLength && hasExtendedPrefix(path) && path[4] == L'U' &&
           path[5] == L'N' && path[6] == L'C' && path[7] == L'\\';
}

// Moves the text (terminator included) shift places to the front.
void dropLeadingUnits(wchar_t* path, std::size_t length, std::size_t shift) {
    memmove(path, path + shift, (length - shift + 1) * sizeof(wchar_t));
}

// "\\?\X:\..." becomes "X:\...", then "\\?\UNC\server\..." becomes
// "\\server\...". Each rule is tried once, in this order; anything else
// with the prefix keeps it.
void removeExtendedPrefix(wchar_t* path, std::size_t capacity) {
    std::size_t length = continueWideText(path, capacity).length;
    if (isExtendedDrivePath(path, length)) {
        dropLeadingUnits(path, length, kExtendedPrefixLength);
        length -= kExtendedPrefixLength;
    }
    if (isExtendedUncPath(path, length)) {
        dropLeadingUnits(path, length, kUncShift);
        path[0] = L'\\';
    }
}

// Asks for the short form of what path holds now. Returns a heap buffer and
// its length, or null when the system has none (the path stays as it is).
wchar_t* queryShortForm(const wchar_t* path, DWORD* shortLength) {
    const DWORD needed = GetShortPathNameW(path, nullptr, 0);
    if (needed == 0) {
        return nullptr;
    }
    // One unit more than asked for, so a short form that grew by exactly one
    // in between still lands in owned memory before the check catches it.
    wchar_t* const buffer = static_cast<wchar_t*>(malloc((needed + 1ULL) * sizeof(wchar_t)));
    if (buffer == nullptr) {
        abnormalEnd();
    }
    const DWORD written = GetShortPathNameW(path, buffer, needed);
    if (written > needed) {
        abnormalEnd();
    }
    if (written == 0) {
        // The path vanished between the two calls: no short form after all.
        free(buffer);
        return nullptr;
    }
    *shortLength = written;
    return buffer;
}

} // namespace

void shortenDirectoryPart(wchar_t* path, std::size_t capacity) {
    const std::size_t length = continueWideText(path, capacity).length;
    wchar_t* separator = nullptr;
    for (std::size_t index = length; index > 0; --index) {
        if (path[index - 1] == L'\\') {
            separator = path + index - 1;
            break;
        }
    }

    // The last component is copied out because a longer short form may
    // overwrite it in place.
    wchar_t* lastComponent = nullptr;
    if (separator != nullptr) {
        *separator = L'\0';
        lastComponent = _wcsdup(separator + 1);
        if (lastComponent == nullptr) {
            abnormalEnd();
        }
    }

    DWORD shortLength = 0;
    wchar_t* const shortForm = queryShortForm(path, &shortLength);
    if (shortForm == nullptr) {
        // Nothing in the buffer behind the cut was touched: putting the
        // backslash back restores the path code unit for code unit.
        if (separator != nullptr) {
            *separator = L'\\';
        }
        free(lastComponent);
        return;
    }

    WideText shortened = startWideText(path, capacity);
    appendWideUnits(&shortened, shortForm, shortLength);
    free(shortForm);
    if (lastComponent != nullptr) {
        appendWideUnit(&shortened, L'\\');
        appendWide(&shortened, lastComponent);
        free(lastComponent);
    }
}

void resolveExecutablePath(wchar_t* path, std::size_t capacity) {
    // Checked before the open too, so that CreateFileW never reads past the
    // buffer; both failures end the process the same way.
    const WideText reported = continueWideText(path, capacity);
    const HANDLE file = systemCalls.createFile(reported.buffer, 0, kShareAll, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        abnormalEnd();
    }

    // Looked up on every call: older systems lack the export, and then the
    // path is used as reported.
    const GetFinalPathNameByHandleFn finalPath = systemCalls.findFinalPathFunction();
    if (finalPath == nullptr) {
        systemCalls.closeHandle(file);
    } else {
        // API oddity: the result is the length without terminator when the
        // path fit, the size needed with terminator when it did not, and 0
        // on failure (then the buffer is used with whatever it holds).
        const DWORD written = finalPath(file, path, static_cast<DWORD>(capacity), kFinalPathFlags);
        systemCalls.closeHandle(file);
        if (written > capacity - 1) {
            abnormalEnd();
        }
    }

    removeExtendedPrefix(path, capacity);
    shortenDirectoryPart(path, capacity);
}

const wchar_t* getExecutablePath(bool resolved) {
    wchar_t* const cache = resolved ? resolvedPathCache : plainPathCache;
    if (cache[0] != L'\0') {
        return cache;
    }
    const DWORD written =
        systemCalls.getModuleFileName(nullptr, cache, static_cast<DWORD>(kExecutablePathCapacity));
    if (written == 0) {
        // Leaves the cache empty (so uncached); the resolved variant then
        // fails to open "" and ends the process.
        cache[0] = L'\0';
    }
    if (resolved) {
        resolveExecutablePath(cache, kExecutablePathCapacity);
    } else {
        shortenDirectoryPart(cache, kExecutablePathCapacity);
    }
    return cache;
}
