#include "paths/extended_path.h"

#include <wchar.h>

namespace {

constexpr wchar_t kDrivePrefix[] = L"\\\\?\\";
constexpr wchar_t kUncPrefix[] = L"\\\\?\\UNC";

bool isSeparator(wchar_t unit) {
    return unit == L'\\' || unit == L'/';
}

// "\\?\..." or "\\.\...": already a form that the system takes as it is.
bool hasDevicePrefix(const wchar_t* path) {
    return isSeparator(path[0]) && isSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
           isSeparator(path[3]);
}

bool isDriveAbsolute(const wchar_t* path) {
    return path[0] != L'\0' && path[1] == L':' && isSeparator(path[2]);
}

bool isUnc(const wchar_t* path) {
    return isSeparator(path[0]) && isSeparator(path[1]) && path[2] != L'\0' &&
           !isSeparator(path[2]);
}

bool tryAppendText(WideText* text, const wchar_t* units) {
    return tryAppendWideUnits(text, units, wcslen(units));
}

// Copies from on, unit by unit, with '\' for every '/'.
bool tryAppendWithBackslashes(WideText* text, const wchar_t* from) {
    for (const wchar_t* unit = from; *unit != L'\0'; ++unit) {
        const wchar_t separator = L'\\';
        if (!tryAppendWideUnits(text, *unit == L'/' ? &separator : unit, 1)) {
            return false;
        }
    }
    return true;
}

bool tryAppendExtended(WideText* text, const wchar_t* path) {
    if (hasDevicePrefix(path)) {
        return tryAppendText(text, path);
    }
    if (isDriveAbsolute(path)) {
        return tryAppendText(text, kDrivePrefix) && tryAppendWithBackslashes(text, path);
    }
    if (isUnc(path)) {
        // "\\server\..." keeps its second separator: "\\?\UNC" + "\server\...".
        return tryAppendText(text, kUncPrefix) && tryAppendWithBackslashes(text, path + 1);
    }
    return tryAppendText(text, path);
}

} // namespace

bool appendExtendedPath(WideText* text, const wchar_t* path) {
    const std::size_t before = text->length;
    if (tryAppendExtended(text, path)) {
        return true;
    }
    truncateWideText(text, before);
    return false;
}

const wchar_t* systemPathFor(const wchar_t* path, std::size_t longFrom, wchar_t* buffer,
                             std::size_t capacity) {
    if (wcslen(path) < longFrom) {
        return path;
    }
    WideText extended = startWideText(buffer, capacity);
    return appendExtendedPath(&extended, path) ? buffer : path;
}
