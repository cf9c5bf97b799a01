// Environment variables by compiled-in narrow name, read through a buffer
// local to each call so that a read keeps no state and may nest.
#include "paths/environment.h"

#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "diagnostics/diagnostics.h"

namespace {

// mbstowcs gets one byte and its terminator, and room for one code unit
// and a terminator: a byte that needs more than one code unit, or that
// starts a multi-byte character, does not convert.
constexpr std::size_t kSingleCharacterCapacity = 2;

// GetEnvironmentVariableW reports a value that does not fit by the size it
// would need, terminator included, so anything above this is over-long.
constexpr DWORD kLongestValue = static_cast<DWORD>(environment::kValueCapacity - 1);

} // namespace

void widenEnvironmentName(const char* name, wchar_t* wide) {
    std::size_t length = 0;
    wide[0] = L'\0';
    for (const char* cursor = name; *cursor != '\0'; ++cursor) {
        const char single[kSingleCharacterCapacity] = {*cursor, '\0'};
        wchar_t converted[kSingleCharacterCapacity] = {};
        // Byte by byte on purpose: a name must be one code unit per byte.
        if (mbstowcs(converted, single, kSingleCharacterCapacity) != 1) {
            abort();
        }
        if (length + 2 > environment::kNameCapacity) {
            boundsFailure();
        }
        wide[length] = converted[0];
        ++length;
        wide[length] = L'\0';
    }
}

wchar_t* getEnvironmentValue(const wchar_t* name) {
    // 64 KiB on the stack: the main thread reserves 2 MiB, and a stack
    // buffer keeps the read free of shared state.
    wchar_t value[environment::kValueCapacity];
    value[0] = L'\0';
    const DWORD length =
        GetEnvironmentVariableW(name, value, static_cast<DWORD>(environment::kValueCapacity));
    // API oddity: 0 means absent or empty alike, and a too-small buffer
    // gives the needed size instead of the length.
    if (length == 0 || length > kLongestValue) {
        return nullptr;
    }
    return _wcsdup(value);
}

wchar_t* getEnvironmentValueA(const char* name) {
    wchar_t wideName[environment::kNameCapacity];
    widenEnvironmentName(name, wideName);
    return getEnvironmentValue(wideName);
}

bool setEnvironmentValueA(const char* name, const wchar_t* value) {
    wchar_t wideName[environment::kNameCapacity];
    widenEnvironmentName(name, wideName);
    return SetEnvironmentVariableW(wideName, value) != FALSE;
}

bool unsetEnvironmentValueA(const char* name) {
    wchar_t wideName[environment::kNameCapacity];
    widenEnvironmentName(name, wideName);
    return SetEnvironmentVariableW(wideName, nullptr) != FALSE;
}
