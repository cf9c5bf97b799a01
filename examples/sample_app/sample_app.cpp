// The sample application: a DLL whose run_code shows what a packaged
// application receives. It prints its arguments, the four variables that
// the launcher sets, the files unpacked next to it, and the contents of
// data\greeting.txt, then returns the exit code asked for with --exit N
// (0 otherwise).
//
// Build it as a DLL, name it main.dll beside its data folder, and pack that
// folder with onefile-pack (see README.md).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <string>

#include "launcher/run_code.h"

namespace {

constexpr DWORD kVariableCapacity = 32768;

// Standard output may be a pipe or a Linux terminal under Wine: print UTF-8.
void printWide(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
    fputs(bytes.c_str(), stdout);
}

// The folder this DLL was loaded from: the launcher's unpack directory.
std::wstring ownDirectory() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownDirectory), &self);
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()))) ==
           path.size()) {
        path.resize(path.size() * 2);
    }
    path.resize(length);
    return path.substr(0, path.rfind(L'\\'));
}

void printArguments(int argc, wchar_t** argv) {
    printf("arguments (%d):\n", argc);
    for (int i = 0; i < argc; ++i) {
        printf("  argv[%d] = [", i);
        printWide(argv[i]);
        printf("]\n");
    }
}

void printVariables() {
    const wchar_t* const names[] = {L"TAMBRO_ONEFILE_PARENT", L"TAMBRO_ONEFILE_START",
                                    L"TAMBRO_ONEFILE_DIRECTORY", L"TAMBRO_ORIGINAL_ARGV0"};
    printf("launcher variables:\n");
    std::wstring value(kVariableCapacity, L'\0');
    for (const wchar_t* name : names) {
        const DWORD length = GetEnvironmentVariableW(name, value.data(), kVariableCapacity);
        printf("  ");
        printWide(name);
        printf("=");
        printWide(length != 0 && length < kVariableCapacity ? value.c_str() : L"(not set)");
        printf("\n");
    }
}

// Every file below root, with its path relative to the unpack directory.
void printFiles(const std::wstring& root, const std::wstring& prefix) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((root + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            printFiles(root + L"\\" + name, prefix + name + L"\\");
            continue;
        }
        printf("  ");
        printWide((prefix + name).c_str());
        printf(" (%lu bytes)\n", found.nFileSizeLow);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void printGreeting(const std::wstring& directory) {
    const std::wstring path = directory + L"\\data\\greeting.txt";
    FILE* const file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        printf("data\\greeting.txt is missing\n");
        return;
    }
    printf("data\\greeting.txt says:\n");
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) != 0) {
        fwrite(buffer, 1, got, stdout);
    }
    fclose(file);
}

int requestedExitCode(int argc, wchar_t** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (wcscmp(argv[i], L"--exit") == 0) {
            return static_cast<int>(wcstol(argv[i + 1], nullptr, 10));
        }
    }
    return 0;
}

} // namespace

ONEFILE_EXPORT int run_code(int argc, wchar_t** argv) {
    const std::wstring directory = ownDirectory();
    printf("sample_app: running from ");
    printWide(directory.c_str());
    printf("\n");
    printArguments(argc, argv);
    printVariables();
    printf("files next to main.dll:\n");
    printFiles(directory, L"");
    printGreeting(directory);
    const int exitCode = requestedExitCode(argc, argv);
    printf("sample_app: returning %d\n", exitCode);
    fflush(stdout);
    return exitCode;
}
