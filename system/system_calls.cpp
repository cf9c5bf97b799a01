#include "system/system_calls.h"

namespace {

// GetProcAddress returns a generic function pointer; each export looked up
// here has the documented signature of Function.
template <typename Function> Function findExport(const char* module, const char* name) {
    const HMODULE loaded = GetModuleHandleA(module);
    if (loaded == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(loaded, name)));
}

GetFinalPathNameByHandleFn findFinalPathFunction() {
    return findExport<GetFinalPathNameByHandleFn>("Kernel32.dll", "GetFinalPathNameByHandleW");
}

QueryObjectFn findQueryObjectFunction() {
    return findExport<QueryObjectFn>("ntdll.dll", "NtQueryObject");
}

} // namespace

SystemCalls defaultSystemCalls() {
    return {
        .getTempPath = GetTempPathW,
        .getFolderPath = SHGetFolderPathW,
        .getModuleFileName = GetModuleFileNameW,
        .findFinalPathFunction = findFinalPathFunction,
        .findQueryObjectFunction = findQueryObjectFunction,
        .createDirectory = CreateDirectoryW,
        .createFile = CreateFileW,
        .writeFile = WriteFile,
        .moveFile = MoveFileExW,
        .findFirstFile = FindFirstFileExW,
        .setFileInformation = SetFileInformationByHandle,
        .sleep = Sleep,
        .createThread = CreateThread,
        .closeHandle = CloseHandle,
        .createProcess = CreateProcessW,
        .resumeThread = ResumeThread,
        .getExitCodeProcess = GetExitCodeProcess,
        .createJobObject = CreateJobObjectW,
        .setInformationJobObject = SetInformationJobObject,
        .assignProcessToJobObject = AssignProcessToJobObject,
        .updateProcThreadAttribute = UpdateProcThreadAttribute,
        .createMutex = CreateMutexW,
        .openMutex = OpenMutexW,
        .openProcess = OpenProcess,
        .getProcessTimes = GetProcessTimes,
        .loadLibrary = LoadLibraryExW,
        .setConsoleCtrlHandler = SetConsoleCtrlHandler,
    };
}

SystemCalls systemCalls = defaultSystemCalls();
