// The Windows calls whose failures the tests must be able to produce and
// Wine cannot be made to give. The launcher calls them only through this
// table; a test swaps an entry for a fake and puts the default back. The
// production path is the same code with the defaults in place.
#ifndef CORVELLINTH_PATHS_SYSTEM_CALLS_H
#define CORVELLINTH_PATHS_SYSTEM_CALLS_H

#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

using GetFinalPathNameByHandleFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

struct SystemCalls {
    decltype(&GetTempPathW) getTempPath;
    decltype(&SHGetFolderPathW) getFolderPath;
    decltype(&CreateDirectoryW) createDirectory;
    decltype(&WriteFile) writeFile;
    decltype(&GetExitCodeProcess) getExitCodeProcess;
    decltype(&SetConsoleCtrlHandler) setConsoleCtrlHandler;
    decltype(&SHFileOperationW) fileOperation;
    // Looks up "GetFinalPathNameByHandleW" in Kernel32.dll on every call;
    // null on a system without it.
    GetFinalPathNameByHandleFn (*findFinalPathFunction)();
    // Child process handles are closed through here (cleanup and child
    // launch), so tests can count how often each one is closed.
    decltype(&CloseHandle) closeHandle;
};

extern SystemCalls systemCalls;

// The table as the launcher ships it.
SystemCalls defaultSystemCalls();

#endif
