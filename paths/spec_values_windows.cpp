// The unpack spec's system values on Windows.
#include "paths/spec_values.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "diagnostics/diagnostics.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kScratchCapacity = 1024;           // folder paths
constexpr wctype_t kDigitClass = 4;                      // the runtime's _DIGIT class
constexpr int kProfileFolder = CSIDL_PROFILE;            // 40
constexpr int kLocalAppDataFolder = CSIDL_LOCAL_APPDATA; // 28

} // namespace

void appendTemporaryDirectory(PathText* output) {
    const std::size_t room = textRoom(*output);
    const DWORD length = room > MAXDWORD ? MAXDWORD : static_cast<DWORD>(room);
    // The return value is not needed: a path that does not fit, or no path
    // at all, leaves the first code unit 0 and so adds nothing.
    systemCalls.getTempPath(length, textEnd(*output));
    adoptWrittenText(output);
}

bool appendUserFolder(PathText* output, UserFolder folder) {
    wchar_t scratch[kScratchCapacity];
    scratch[0] = L'\0';
    const int id = folder == UserFolder::home ? kProfileFolder : kLocalAppDataFolder;
    // API oddity: S_FALSE is a success code but means the folder does not
    // exist, so only S_OK counts.
    if (systemCalls.getFolderPath(nullptr, id, nullptr, 0, scratch) != S_OK) {
        return false;
    }
    const PathText path = continueText(scratch, kScratchCapacity);
    appendUnits(output, path.buffer, path.length);
    return true;
}

void appendProgram(PathText* output) {
    if (__wargv == nullptr || __argc < 1 || __wargv[0] == nullptr) {
        abnormalEnd();
    }
    appendText(output, static_cast<const wchar_t*>(__wargv[0]));
}

bool isProcessIdDigit(wchar_t unit) {
    return iswctype(unit, kDigitClass) != 0;
}

void formatCurrentTime(wchar_t* text, std::size_t capacity) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    text[capacity - 1] = L'\0';
    _snwprintf(text, capacity - 1, L"%lld", static_cast<long long>(ticks));
}
