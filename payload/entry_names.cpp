#include "payload/entry_names.h"

#include <cstddef>

namespace {

// Both count: Windows takes a slash as a separator when it opens a path,
// even though the launcher itself joins paths with backslashes only.
bool isSeparator(const wchar_t unit) {
    return unit == L'\\' || unit == L'/';
}

// The component of length units starting at start is a usable file or
// directory name: not empty, not "." and not "..".
bool isSafeComponent(const wchar_t* start, const std::size_t length) {
    if (length == 0) {
        return false;
    }
    if (length == 1 && start[0] == L'.') {
        return false;
    }
    return !(length == 2 && start[0] == L'.' && start[1] == L'.');
}

} // namespace

bool isSafeEntryName(const wchar_t* name) {
    if (name == nullptr) {
        return false;
    }
    const wchar_t* componentStart = name;
    for (const wchar_t* at = name;; ++at) {
        if (*at == L':') {
            return false;
        }
        if (*at == L'\0' || isSeparator(*at)) {
            const auto length = static_cast<std::size_t>(at - componentStart);
            if (!isSafeComponent(componentStart, length)) {
                return false;
            }
            if (*at == L'\0') {
                return true;
            }
            componentStart = at + 1;
        }
    }
}
