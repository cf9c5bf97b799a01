#include "system/system_calls.h"

namespace {

GetFinalPathNameByHandleFn findFinalPathFunction() {
    const HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    // GetProcAddress returns a generic function pointer; the export has the
    // documented signature.
    return reinterpret_cast<GetFinalPathNameByHandleFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetFinalPathNameByHandleW")));
}

} // namespace

SystemCalls defaultSystemCalls() {
    return {
        .getTempPath = GetTempPathW,
        .getFolderPath = SHGetFolderPathW,
        .getModuleFileName = GetModuleFileNameW,
        .findFinalPathFunction = findFinalPathFunction,
        .createDirectory = CreateDirectoryW,
        .createFile = CreateFileW,
        .writeFile = WriteFile,
        .findFirstFile = FindFirstFileExW,
        .setFileInformation = SetFileInformationByHandle,
        .sleep = Sleep,
        .closeHandle = CloseHandle,
        .createProcess = CreateProcessW,
        .getExitCodeProcess = GetExitCodeProcess,
        .loadLibrary = LoadLibraryExW,
        .setConsoleCtrlHandler = SetConsoleCtrlHandler,
    };
}

SystemCalls systemCalls = defaultSystemCalls();
