// The ways of ending that ask Windows for help: the system's error text and
// the runtime's abort behaviour.
#include "diagnostics/diagnostics.h"
#include "diagnostics/ending.h"

#include <windows.h>
#include <stdlib.h>

namespace {

constexpr DWORD kFormatFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
constexpr DWORD kEnglishUnitedStates = 0x409;

} // namespace

void fatalSystemError(const char* message, unsigned long code) {
    char* systemText = nullptr;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument is really a
    // pointer to the pointer that receives the allocation. It is not freed:
    // the process ends right after.
    const DWORD length = FormatMessageA(kFormatFlags, nullptr, code, kEnglishUnitedStates,
                                        reinterpret_cast<char*>(&systemText), 0, nullptr);
    const char* const text = (length != 0 && systemText != nullptr) ? systemText : "";
    // long is 32 bits on Windows: codes above 0x7FFFFFFF print negative.
    fatalSystemErrorWithText(message, static_cast<long>(code), text);
}

void routeAbortAwayFromDialogs() {
    _set_error_mode(_OUT_TO_STDERR);
}

void endAbnormally() {
    abort();
}
