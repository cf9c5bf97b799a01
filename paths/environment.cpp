// Environment variables by compiled-in narrow name, read through a buffer
// local to each call so that a read keeps no state and may nest.
#include "paths/environment.h"

#include <windows.h>
#include <stdlib.h>
#include <wchar.h>

#include "paths/wide_text.h"

namespace {

// GetEnvironmentVariableW reports a value that does not fit by the size it
// would need, terminator included, so anything above this is over-long.
constexpr DWORD kLongestValue = static_cast<DWORD>(environment::kValueCapacity - 1);

} // namespace

void widenEnvironmentName(const char* name, wchar_t* wide) {
    WideText text = startWideText(wide, environment::kNameCapacity);
    appendNarrowAsWide(&text, name);
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
