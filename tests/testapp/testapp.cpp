// The application that the end-to-end tests pack. argv[1] names what to do;
// every command prints plain lines that the tests parse:
//   args            "arg <i> <hex of the UTF-16 code units>" for every argument
//   exit <n>        returns n (decimal or 0x hex, full 32 bits)
//   cat             copies standard input to standard output
//   stderr <text>   writes text to standard error
//   env             "<NAME>=<value>" for the four launcher variables, "cwd=",
//                   "module=" (this DLL's path) and "argc="
//   files           "file <name>" for every file below this DLL's directory
//   sleep <ms>      sleeps, then returns 0
//   spawn <exe> <args...>  starts exe with the args, waits, returns its code
//   start <exe> <args...>  starts exe with the args (no handles inherited),
//                   prints "started <pid>" and goes on at once
//   mark <path>     writes this process's id to the file at path, whole
//   hashes          "hash <name> <size> <FNV-1a 64 in hex>" for every file
//                   below this DLL's directory
//   cd-module       makes this DLL's directory the current directory
//   await <name>    waits (60 s at most) until <name> exists in this DLL's
//                   directory (or at <name> when it is a full path): Wine
//                   reports a Linux program that spawn starts as ended at once
//   pad <n>         creates a file in this DLL's directory whose full path
//                   is n code units long
//   interleave <n>  n lines, "out <i>" to standard output and "err <i>" to
//                   standard error in turn, each flushed at once
//   handles         "stdin|stdout|stderr console|other" for its standard
//                   handles: console when GetConsoleMode accepts it
//   on-ctrl         installs a console handler that records the event and
//                   returns TRUE (the process carries on)
//   until-interrupted <ms>  waits (60 s at most) until on-ctrl's handler
//                   has seen an event, prints "event <type>", works for ms,
//                   prints "finished"
// Several commands can be chained with "--": "env -- exit 7".
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <string>

#include "launcher/run_code.h"

namespace {

void printHex(int index, const wchar_t* text) {
    printf("arg %d ", index);
    for (const wchar_t* c = text; *c != 0; ++c) {
        printf("%04x", static_cast<unsigned>(*c));
    }
    printf("\n");
}

std::string narrow(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.resize(strlen(result.c_str()));
    return result;
}

std::wstring ownModulePath() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownModulePath), &self);
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(self, path, 4096);
    std::wstring result(path, length);
    return result;
}

// The directory this DLL was loaded from, without a final backslash.
std::wstring ownDirectory() {
    const std::wstring module = ownModulePath();
    return module.substr(0, module.rfind(L'\\'));
}

void printVariable(const wchar_t* name) {
    wchar_t value[32768];
    const DWORD length = GetEnvironmentVariableW(name, value, 32768);
    printf("%s=%s\n", narrow(name).c_str(), length == 0 ? "" : narrow(value).c_str());
}

// Calls visit(full path, name relative to the first root) for every file
// below root.
template <typename Visit>
void forEachFile(const std::wstring& root, const std::wstring& prefix, const Visit& visit) {
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
            forEachFile(root + L"\\" + name, prefix + name + L"\\", visit);
        } else {
            visit(root + L"\\" + name, prefix + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

void listFiles(const std::wstring& root) {
    forEachFile(root, L"", [](const std::wstring&, const std::wstring& name) {
        printf("file %s\n", narrow(name.c_str()).c_str());
    });
}

std::wstring quote(const wchar_t* argument) {
    std::wstring text = argument;
    if (!text.empty() && text.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return text;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

// Starts argv[first] with the arguments up to "--"; false when it cannot.
bool startProgram(int argc, wchar_t** argv, int first, bool inherit, PROCESS_INFORMATION* info) {
    std::wstring commandLine;
    for (int i = first; i < argc && wcscmp(argv[i], L"--") != 0; ++i) {
        if (!commandLine.empty()) {
            commandLine += L" ";
        }
        commandLine += quote(argv[i]);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(argv[first], commandLine.data(), nullptr, nullptr, inherit, 0, nullptr,
                        nullptr, &startup, info)) {
        printf("start failed %lu\n", GetLastError());
        return false;
    }
    return true;
}

int spawn(int argc, wchar_t** argv, int first) {
    PROCESS_INFORMATION info{};
    if (!startProgram(argc, argv, first, TRUE, &info)) {
        return 99;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

// FNV-1a over the whole file: enough to tell any two test contents apart.
void printHash(const std::wstring& path, const std::wstring& name) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printf("hash %s unreadable\n", narrow(name.c_str()).c_str());
        return;
    }
    unsigned long long hash = 0xcbf29ce484222325ull;
    unsigned long long size = 0;
    static unsigned char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got != 0) {
        for (DWORD k = 0; k < got; ++k) {
            hash = (hash ^ buffer[k]) * 0x100000001b3ull;
        }
        size += got;
    }
    CloseHandle(file);
    printf("hash %s %llu %016llx\n", narrow(name.c_str()).c_str(), size, hash);
}

void hashFiles(const std::wstring& root) {
    forEachFile(root, L"", printHash);
}

std::atomic<long> receivedEvent{-1};

BOOL WINAPI recordEvent(DWORD type) {
    receivedEvent.store(static_cast<long>(type));
    return TRUE;
}

void untilInterrupted(DWORD workMs) {
    for (int waited = 0; waited < 6000 && receivedEvent.load() < 0; ++waited) {
        Sleep(10);
    }
    printf("event %ld\n", receivedEvent.load());
    fflush(stdout);
    Sleep(workMs);
    printf("finished\n");
}

void printHandleKinds() {
    const struct {
        const char* name;
        DWORD which;
    } handles[] = {
        {"stdin", STD_INPUT_HANDLE}, {"stdout", STD_OUTPUT_HANDLE}, {"stderr", STD_ERROR_HANDLE}};
    for (const auto& handle : handles) {
        DWORD mode = 0;
        const bool console = GetConsoleMode(GetStdHandle(handle.which), &mode) != 0;
        printf("%s %s\n", handle.name, console ? "console" : "other");
    }
}

void interleave(unsigned long lines) {
    for (unsigned long line = 0; line < lines; ++line) {
        FILE* const stream = line % 2 == 0 ? stdout : stderr;
        fprintf(stream, "%s %lu\n", line % 2 == 0 ? "out" : "err", line);
        fflush(stream);
    }
}

// Written under another name and renamed, so a reader never sees it half done.
void markWithProcessId(const wchar_t* path) {
    const std::wstring part = std::wstring(path) + L".part";
    FILE* const file = _wfopen(part.c_str(), L"w");
    if (file != nullptr) {
        fprintf(file, "%lu", GetCurrentProcessId());
        fclose(file);
        MoveFileExW(part.c_str(), path, MOVEFILE_REPLACE_EXISTING);
    }
}

bool isFullPath(const wchar_t* path) {
    return path[0] != 0 && path[1] == L':';
}

} // namespace

ONEFILE_EXPORT int run_code(int argc, wchar_t** argv) {
    int result = 0;
    for (int i = 1; i < argc; ++i) {
        const std::wstring command = argv[i];
        const wchar_t* const next = i + 1 < argc ? argv[i + 1] : L"";
        if (command == L"args") {
            for (int k = 0; k < argc; ++k) {
                printHex(k, argv[k]);
            }
            printf("argc %d\n", argc);
        } else if (command == L"exit") {
            result = static_cast<int>(wcstoul(next, nullptr, 0));
            ++i;
        } else if (command == L"cat") {
            char buffer[4096];
            size_t got = 0;
            while ((got = fread(buffer, 1, sizeof(buffer), stdin)) != 0) {
                fwrite(buffer, 1, got, stdout);
            }
        } else if (command == L"stderr") {
            fprintf(stderr, "%s\n", narrow(next).c_str());
            ++i;
        } else if (command == L"env") {
            printVariable(L"TAMBRO_ONEFILE_PARENT");
            printVariable(L"TAMBRO_ONEFILE_START");
            printVariable(L"TAMBRO_ONEFILE_DIRECTORY");
            printVariable(L"TAMBRO_ORIGINAL_ARGV0");
            wchar_t cwd[4096];
            GetCurrentDirectoryW(4096, cwd);
            printf("cwd=%s\n", narrow(cwd).c_str());
            printf("module=%s\n", narrow(ownModulePath().c_str()).c_str());
            printf("argc=%d\n", argc);
        } else if (command == L"files") {
            listFiles(ownDirectory());
        } else if (command == L"sleep") {
            Sleep(wcstoul(next, nullptr, 10));
            ++i;
        } else if (command == L"spawn") {
            result = spawn(argc, argv, i + 1);
            while (i < argc && wcscmp(argv[i], L"--") != 0) {
                ++i;
            }
        } else if (command == L"start") {
            PROCESS_INFORMATION info{};
            if (startProgram(argc, argv, i + 1, FALSE, &info)) {
                printf("started %lu\n", info.dwProcessId);
                CloseHandle(info.hThread);
                CloseHandle(info.hProcess);
            }
            while (i < argc && wcscmp(argv[i], L"--") != 0) {
                ++i;
            }
        } else if (command == L"mark") {
            markWithProcessId(next);
            ++i;
        } else if (command == L"cd-module") {
            SetCurrentDirectoryW(ownDirectory().c_str());
        } else if (command == L"await") {
            const std::wstring path = isFullPath(next) ? next : ownDirectory() + L"\\" + next;
            for (int waited = 0; waited < 6000; ++waited) {
                if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
                    break;
                }
                Sleep(10);
            }
            ++i;
        } else if (command == L"pad") {
            std::wstring path = ownDirectory() + L"\\";
            path.append(wcstoul(next, nullptr, 10) - path.size(), L'p');
            const HANDLE file =
                CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            printf("pad %s\n", file == INVALID_HANDLE_VALUE ? "failed" : "made");
            CloseHandle(file);
            ++i;
        } else if (command == L"hashes") {
            hashFiles(ownDirectory());
        } else if (command == L"interleave") {
            interleave(wcstoul(next, nullptr, 10));
            ++i;
        } else if (command == L"handles") {
            printHandleKinds();
        } else if (command == L"on-ctrl") {
            SetConsoleCtrlHandler(recordEvent, TRUE);
        } else if (command == L"until-interrupted") {
            untilInterrupted(wcstoul(next, nullptr, 10));
            ++i;
        }
        fflush(stdout);
        fflush(stderr);
    }
    return result;
}
