// The end of a run: stop the child if it still runs, then remove the run
// directory (launcher/run_directory.cpp).
#include "launcher/cleanup.h"

#include <windows.h>

#include "launcher/run_directory.h"
#include "launcher/state.h"
#include "system/system_calls.h"

namespace {

constexpr DWORD kChildGraceMs = 5000;
// STATUS_CONTROL_C_EXIT, the code a console interruption gives: the parent
// passes it on, so an interrupted run never reports success.
constexpr UINT kTerminatedExitCode = 0xC000013A;

// Takes the child handle out of the shared variable, so that this thread
// alone waits on, terminates and closes it.
void stopChild() {
    const HANDLE child = childProcess.exchange(nullptr);
    if (child == nullptr) {
        return;
    }
    if (WaitForSingleObject(child, kChildGraceMs) != WAIT_OBJECT_0) {
        TerminateProcess(child, kTerminatedExitCode);
    }
    systemCalls.closeHandle(child);
}

} // namespace

void cleanupOnExit() {
    stopChild();
    deleteRunDirectory();
}

BOOL WINAPI consoleControlHandler(DWORD controlType) {
    switch (controlType) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        cleanupOnExit();
        break;
    default:
        break;
    }
    // FALSE lets the next handler (by default the one that ends the
    // process) run as well.
    return FALSE;
}
