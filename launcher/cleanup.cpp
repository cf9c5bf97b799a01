// The end of a run: stop the child if it still runs, then remove the target
// directory with a few retries for files that are still held open.
#include "launcher/cleanup.h"

#include <windows.h>
#include <shellapi.h>
#include <wchar.h>

#include "launcher/state.h"
#include "paths/wide_text.h"
#include "system/system_calls.h"

namespace {

constexpr DWORD kChildGraceMs = 5000;
constexpr UINT kTerminatedExitCode = 0;
constexpr int kDeleteRetries = 20;
constexpr DWORD kRetryPauseMs = 100;
// No progress, no confirmation, no error dialogs; without FOF_ALLOWUNDO the
// tree bypasses the recycle bin.
constexpr FILEOP_FLAGS kDeleteFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI; // 0x0414
// The directory text, its terminator and the second terminator that ends
// the shell's list of names.
constexpr std::size_t kDeleteListCapacity = kTargetDirectoryCapacity + 1;

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

// Fills list with targetDirectory and two terminators: the text's own and
// a code unit 0 behind it.
void makeDeleteList(wchar_t* list) {
    WideText text = startWideText(list, kDeleteListCapacity);
    appendWideUnits(&text, targetDirectory, wcsnlen(targetDirectory, kTargetDirectoryCapacity));
    appendWideUnit(&text, L'\0');
}

void deleteTree(const wchar_t* list) {
    SHFILEOPSTRUCTW operation{};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = list;
    operation.pTo = L"";
    operation.fFlags = kDeleteFlags;
    operation.fAnyOperationsAborted = FALSE;
    operation.hNameMappings = nullptr;
    operation.lpszProgressTitle = L"";
    // Its result is not looked at: the directory's presence decides.
    systemCalls.fileOperation(&operation);
}

bool targetDirectoryRemains() {
    const DWORD attributes = GetFileAttributesW(targetDirectory);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

void cleanupOnExit() {
    stopChild();
    if (cleanupFlag.load() == 0) {
        return;
    }
    // On this thread's stack: the handler and the main thread may both be
    // here at the same time.
    wchar_t list[kDeleteListCapacity];
    makeDeleteList(list);
    deleteTree(list);
    for (int retry = 0; retry < kDeleteRetries; ++retry) {
        if (!targetDirectoryRemains()) {
            return;
        }
        Sleep(kRetryPauseMs);
        deleteTree(list);
    }
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
