// The Windows calls whose failures the tests must be able to produce and
// Wine cannot be made to give. The launcher calls them only through this
// table (scripts/check-source refuses a direct call); a test swaps an entry
// for a fake and puts the default back. The production path is the same
// code with the defaults in place.
#ifndef CORVELLINTH_SYSTEM_SYSTEM_CALLS_H
#define CORVELLINTH_SYSTEM_SYSTEM_CALLS_H

#include <windows.h>
#include <shlobj.h>
#include <shellapi.h>

using GetFinalPathNameByHandleFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
// ntdll's NtQueryObject: handle, information class, buffer, its size in
// bytes, the size used. Returns an NTSTATUS (negative on failure).
using QueryObjectFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

struct SystemCalls {
    // Paths and folders (the unpack spec, the own path).
    decltype(&GetTempPathW) getTempPath;
    decltype(&SHGetFolderPathW) getFolderPath;
    decltype(&GetModuleFileNameW) getModuleFileName;
    // Looks up "GetFinalPathNameByHandleW" in Kernel32.dll on every call;
    // null on a system without it.
    GetFinalPathNameByHandleFn (*findFinalPathFunction)();
    // Looks up "NtQueryObject" in ntdll.dll on every call; null without it.
    QueryObjectFn (*findQueryObjectFunction)();
    // Files and directories (the unpacking, the own path, the cleanup).
    decltype(&CreateDirectoryW) createDirectory;
    decltype(&CreateFileW) createFile;
    decltype(&WriteFile) writeFile;
    // A cached copy is put in place by renaming its directory.
    decltype(&MoveFileExW) moveFile;
    // The run directory's delete: the walk, the removal of each entry and
    // the pause between attempts.
    decltype(&FindFirstFileExW) findFirstFile;
    decltype(&SetFileInformationByHandle) setFileInformation;
    decltype(&Sleep) sleep;
    // The unpacking's worker threads, so tests can refuse them.
    decltype(&CreateThread) createThread;
    // Every handle the launcher closes, so tests can count the closes.
    decltype(&CloseHandle) closeHandle;
    // The child, the application's DLL and the console handler.
    decltype(&CreateProcessW) createProcess;
    decltype(&ResumeThread) resumeThread;
    decltype(&GetExitCodeProcess) getExitCodeProcess;
    // The job that ends the child with the parent, and the attribute that
    // creates the child inside it.
    decltype(&CreateJobObjectW) createJobObject;
    decltype(&SetInformationJobObject) setInformationJobObject;
    decltype(&AssignProcessToJobObject) assignProcessToJobObject;
    decltype(&UpdateProcThreadAttribute) updateProcThreadAttribute;
    // The run guard and the sweep of directories left by runs that are over:
    // the inherited parent is opened through openProcess too.
    decltype(&CreateMutexW) createMutex;
    decltype(&OpenMutexW) openMutex;
    decltype(&OpenProcess) openProcess;
    decltype(&GetProcessTimes) getProcessTimes;
    decltype(&LoadLibraryExW) loadLibrary;
    decltype(&SetConsoleCtrlHandler) setConsoleCtrlHandler;
};

// Process-wide, for the whole process; changed only by tests.
extern SystemCalls systemCalls;

// The table as the launcher ships it.
SystemCalls defaultSystemCalls();

#endif
