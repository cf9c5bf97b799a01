#include "launcher/run_guard.h"

#include <windows.h>
#include <wchar.h>

#include "paths/wide_text.h"
#include "resources/product.h"
#include "system/system_calls.h"

namespace {

// Object names are limited to MAX_PATH; a run directory's name is short.
constexpr std::size_t kGuardNameCapacity = MAX_PATH;

// Process-wide, main thread only; launcher/state.h lists them all.
HANDLE runGuard = nullptr;

// The guard's name for the run directory named directoryName, or false
// when it does not fit.
bool formatGuardName(const wchar_t* directoryName, wchar_t* buffer) {
    WideText name = startWideText(buffer, kGuardNameCapacity);
    return tryAppendWideUnits(&name, product::kRunGuardPrefix, wcslen(product::kRunGuardPrefix)) &&
           tryAppendWideUnits(&name, directoryName, wcsnlen(directoryName, kGuardNameCapacity));
}

} // namespace

void holdRunGuard(const wchar_t* runDirectory) {
    const wchar_t* const separator = wcsrchr(runDirectory, L'\\');
    wchar_t name[kGuardNameCapacity];
    if (!formatGuardName(separator != nullptr ? separator + 1 : runDirectory, name)) {
        return;
    }
    // An object of that name that is already there (another holder of the
    // same run) is opened and held all the same.
    const HANDLE guard = systemCalls.createMutex(nullptr, FALSE, name);
    if (guard == nullptr) {
        return;
    }
    if (runGuard != nullptr) {
        systemCalls.closeHandle(runGuard);
    }
    runGuard = guard;
}

bool isRunGuardHeld(const wchar_t* directoryName) {
    wchar_t name[kGuardNameCapacity];
    if (!formatGuardName(directoryName, name)) {
        return true;
    }
    const HANDLE guard = systemCalls.openMutex(SYNCHRONIZE, FALSE, name);
    if (guard != nullptr) {
        systemCalls.closeHandle(guard);
        return true;
    }
    // Another kind of object of that name, or one this user may not open,
    // counts as held: only "not found" proves there is none.
    return GetLastError() != ERROR_FILE_NOT_FOUND;
}
