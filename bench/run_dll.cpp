// run_dll DLL [ARGS...]: the direct start that a cached launcher is
// measured against: loads DLL as the launcher's child does (its directory
// on the search list, the same flags), and returns what its run_code
// returns, called with DLL as argument 0 and ARGS after it.
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#include <string>

#include "launcher/run_code.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fwprintf(stderr, L"usage: run_dll DLL [ARGS...]\n");
        return 120;
    }
    SetDllDirectoryW(L"");
    std::wstring directory = argv[1];
    directory.resize(directory.rfind(L'\\'));
    AddDllDirectory(directory.c_str());
    const HMODULE application =
        LoadLibraryExW(argv[1], nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                           LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (application == nullptr) {
        fwprintf(stderr, L"run_dll: cannot load %ls (%lu)\n", argv[1], GetLastError());
        return 121;
    }
    const auto runCode = reinterpret_cast<onefile_run_code_fn>(
        reinterpret_cast<void*>(GetProcAddress(application, ONEFILE_ENTRY_POINT_NAME)));
    if (runCode == nullptr) {
        fwprintf(stderr, L"run_dll: %ls has no run_code\n", argv[1]);
        return 122;
    }
    return runCode(argc - 1, argv + 1);
}
