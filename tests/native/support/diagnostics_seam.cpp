// Replaces diagnostics/diagnostics.cpp at link time in the native tests and
// fuzz targets (see launcher_exit.h). Throwing through the launcher's code
// is safe here: it holds no resources on the stack, and the walk releases
// the reader's heap state once the exception is caught.
#include "diagnostics/diagnostics.h"

#include <string>

#include "tests/native/support/launcher_exit.h"

using native_support::LauncherExit;

void fatalError(const char* message) {
    throw LauncherExit{native_support::kFatalExitCode, message};
}

void fatalSystemError(const char* message, unsigned long) {
    throw LauncherExit{native_support::kFatalExitCode, message};
}

void fatalOpenFailure(const wchar_t*) {
    throw LauncherExit{native_support::kFatalExitCode, "failed to open"};
}

void fatalOpenFailure(const char*) {
    throw LauncherExit{native_support::kFatalExitCode, "failed to open"};
}

void fatalSpecFailure(const wchar_t*) {
    throw LauncherExit{native_support::kAbnormalExitCode, "spec failure"};
}

void abnormalEnd() {
    throw LauncherExit{native_support::kAbnormalExitCode, ""};
}

void routeAbortAwayFromDialogs() {}

// Nothing ends the process here, so nothing waits for an ending.
void setEndingGate(EndingGate) {}
