#include "paths/system_calls.h"

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
    return {GetTempPathW,     SHGetFolderPathW,      CreateDirectoryW,
            WriteFile,        GetExitCodeProcess,    SetConsoleCtrlHandler,
            SHFileOperationW, findFinalPathFunction, CloseHandle};
}

SystemCalls systemCalls = defaultSystemCalls();
