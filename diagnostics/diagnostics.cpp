// The ways of ending that need nothing of Windows; they build natively too.
#include "diagnostics/diagnostics.h"
#include "diagnostics/ending.h"
#include "diagnostics/runtime_output.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>

namespace {

constexpr int kReportedExitCode = 2;

std::atomic<EndingHook> endingHook{nullptr};
std::atomic<EndingGate> endingGate{nullptr};
// Set by the first ending that runs the hook: an ending raised inside the
// hook, or on another thread meanwhile, ends without running it again.
std::atomic_flag hookTaken = ATOMIC_FLAG_INIT;

void runEndingHookOnce() {
    const EndingHook hook = endingHook.load();
    if (hook == nullptr || hookTaken.test_and_set()) {
        return;
    }
    hook();
}

} // namespace

void setEndingHook(EndingHook hook) {
    endingHook.store(hook);
}

void setEndingGate(EndingGate gate) {
    endingGate.store(gate);
}

void passEndingGate() {
    const EndingGate gate = endingGate.load();
    if (gate != nullptr) {
        gate();
    }
}

void endProcess(Ending ending) {
    // The message is out before the hook's work, which may take a while.
    fflush(stdout);
    runEndingHookOnce();
    if (ending == Ending::abnormal) {
        endAbnormally();
    }
    exit(kReportedExitCode);
}

void endWithExitCode(unsigned long exitCode) {
    fflush(stdout);
    // exit takes an int; the system passes its 32 bits on unchanged.
    exit(static_cast<int>(exitCode));
}

void fatalError(const char* message) {
    passEndingGate();
    puts(message);
    endProcess(Ending::orderly);
}

void fatalSystemErrorWithText(const char* message, long code, const char* text) {
    passEndingGate();
    printToStandardError("%s ([Error %ld] %s)\n", message, code, text);
    endProcess(Ending::orderly);
}

void fatalOpenFailure(const wchar_t* path) {
    passEndingGate();
    printToStandardError("Error, failed to open '%ls' for writing.\n", path);
    endProcess(Ending::orderly);
}

void fatalOpenFailure(const char* path) {
    passEndingGate();
    printToStandardError("Error, failed to open '%s' for writing.\n", path);
    endProcess(Ending::orderly);
}

void fatalExistingDirectory(const wchar_t* path) {
    passEndingGate();
    printToStandardError("Error, target directory '%ls' already exists.\n", path);
    endProcess(Ending::orderly);
}

void fatalExistingDirectory(const char* path) {
    passEndingGate();
    printToStandardError("Error, target directory '%s' already exists.\n", path);
    endProcess(Ending::orderly);
}

void fatalNoRunDirectory(const char* first, const char* second) {
    passEndingGate();
    printToStandardError("Error, couldn't find a directory to run the application from: neither "
                         "'%s' nor '%s' can be used.\n",
                         first, second);
    endProcess(Ending::orderly);
}

void fatalSpecFailure(const wchar_t* spec) {
    passEndingGate();
    printToStandardError("Error, couldn't runtime expand spec '%ls'.\n", spec);
    endProcess(Ending::abnormal);
}

void fatalSpecFailure(const char* spec) {
    passEndingGate();
    printToStandardError("Error, couldn't runtime expand spec '%s'.\n", spec);
    endProcess(Ending::abnormal);
}

void abnormalEnd() {
    passEndingGate();
    endProcess(Ending::abnormal);
}
