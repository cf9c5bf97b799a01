// run_with_temp TEMPDIR PROGRAM ARGS...: runs PROGRAM with TMP and TEMP set
// to TEMPDIR, the standard handles inherited, and returns its exit code.
// Wine sets TMP and TEMP itself, so a Linux script cannot hand them over.
#include <windows.h>

#include <string>

#include "tests/support/process.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: run_with_temp TEMPDIR PROGRAM ARGS...\n");
        return 120;
    }
    SetEnvironmentVariableW(L"TMP", argv[1]);
    SetEnvironmentVariableW(L"TEMP", argv[1]);
    std::wstring commandLine = testing_support::quoteArgument(argv[2]);
    for (int index = 3; index < argc; ++index) {
        commandLine += L" " + testing_support::quoteArgument(argv[index]);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[2], commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fwprintf(stderr, L"run_with_temp: cannot start %ls (%lu)\n", argv[2], GetLastError());
        return 121;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}
