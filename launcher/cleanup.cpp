// The end of a run: stop the child if it still runs, then remove the run
// directory (launcher/run_directory.cpp).
#include "launcher/cleanup.h"

#include <windows.h>

#include <atomic>

#include "diagnostics/diagnostics.h"
#include "launcher/run_directory.h"
#include "launcher/run_stop.h"
#include "launcher/state.h"
#include "system/system_calls.h"

namespace {

// Ctrl+C and Ctrl+Break reach the child too: it may need a while to finish
// its work.
constexpr DWORD kInterruptGraceMs = 5000;
// Close, logoff and shutdown: Windows ends the process about 5 s after the
// event whatever the handler does. Deleting the benchmark's trees (6059
// files, 348 MB; 7744 real files, 300 MB) with this launcher's delete took
// 1.9 s and 2.5 s under Wine here (medians of 7); after a 1 s grace the
// delete keeps the rest, with some room for its retries while the
// terminated child's files are still held open.
constexpr DWORD kClosingGraceMs = 1000;
constexpr DWORD kNotAStopEvent = 0;
// STATUS_CONTROL_C_EXIT, the code a console interruption gives: the parent
// passes it on, so an interrupted run never reports success.
constexpr UINT kTerminatedExitCode = 0xC000013A;
constexpr DWORD kUnreadableExitCode = 1;
// Termination completes asynchronously; its exit code is read only once
// the child is gone.
constexpr DWORD kTerminationWaitMs = 1000;
// The wait for the child is cut into slices so that a later event's
// shorter grace takes effect.
constexpr DWORD kWaitSliceMs = 50;
constexpr ULONGLONG kNoDeadline = ~0ull;

// GetTickCount64 by which a running child must have ended: set by the
// stop, lowered by any later event's shorter grace.
std::atomic<ULONGLONG> childDeadline{kNoDeadline};

DWORD childGraceFor(DWORD controlType) {
    switch (controlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        return kInterruptGraceMs;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return kClosingGraceMs;
    default:
        return kNotAStopEvent;
    }
}

void shortenChildDeadline(DWORD graceMs) {
    const ULONGLONG wanted = GetTickCount64() + graceMs;
    ULONGLONG current = childDeadline.load();
    while (wanted < current && !childDeadline.compare_exchange_weak(current, wanted)) {
    }
}

// True when the child ended by the deadline.
bool waitForChildUntilDeadline(HANDLE child) {
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG deadline = childDeadline.load();
        if (now >= deadline) {
            return false;
        }
        const ULONGLONG left = deadline - now;
        const DWORD slice = left < kWaitSliceMs ? static_cast<DWORD>(left) : kWaitSliceMs;
        const DWORD waited = WaitForSingleObject(child, slice);
        if (waited != WAIT_TIMEOUT) {
            return waited == WAIT_OBJECT_0;
        }
    }
}

// Lets the child end by the deadline, terminates it otherwise; returns its
// exit code, or the interruption's when it is not gone even then.
DWORD endChild(HANDLE child) {
    if (!waitForChildUntilDeadline(child)) {
        TerminateProcess(child, kTerminatedExitCode);
        if (WaitForSingleObject(child, kTerminationWaitMs) != WAIT_OBJECT_0) {
            return kTerminatedExitCode;
        }
    }
    return exitCodeOfEndedProcess(child);
}

// Takes the child handle out of the shared variable, so that this thread
// alone waits on, terminates and closes it, and deletes the run directory.
// Returns the code the run ends with: the child's, as this thread or the
// main thread read it, or the interruption's when no child has ended.
DWORD stopRun(DWORD graceMs) {
    shortenChildDeadline(graceMs);
    DWORD exitCode = kTerminatedExitCode;
    const HANDLE child = childProcess.exchange(nullptr);
    if (child != nullptr) {
        exitCode = endChild(child);
        systemCalls.closeHandle(child);
    } else if (childExitCode.load() != kNoChildExitCode) {
        exitCode = static_cast<DWORD>(childExitCode.load());
    }
    deleteRunDirectory();
    // Only reached again when the process does not end here (the normal
    // end, tests): the next stop starts from its own grace.
    childDeadline.store(kNoDeadline);
    return exitCode;
}

} // namespace

DWORD exitCodeOfEndedProcess(HANDLE process) {
    DWORD exitCode = 0;
    if (!systemCalls.getExitCodeProcess(process, &exitCode)) {
        exitCode = kUnreadableExitCode;
    }
    return exitCode;
}

void cleanupOnExit() {
    stopRun(kInterruptGraceMs);
}

bool stopRunForConsoleEvent(DWORD controlType, DWORD* exitCode) {
    const DWORD graceMs = childGraceFor(controlType);
    if (graceMs == kNotAStopEvent) {
        return false;
    }
    *exitCode = stopRun(graceMs);
    return true;
}

BOOL WINAPI consoleControlHandler(DWORD controlType) {
    const DWORD graceMs = childGraceFor(controlType);
    if (graceMs == kNotAStopEvent) {
        // The next handler (by default the one that ends the process)
        // decides.
        return FALSE;
    }
    if (!beginStop()) {
        // The first event's handler ends the process. This one can only
        // shorten the child's grace; returning would let Windows end the
        // process before the delete (close, logoff, shutdown).
        shortenChildDeadline(graceMs);
        awaitStopsEnding();
    }
    DWORD exitCode = kTerminatedExitCode;
    stopRunForConsoleEvent(controlType, &exitCode);
    endWithExitCode(exitCode);
}
