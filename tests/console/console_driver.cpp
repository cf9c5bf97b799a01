// console_driver [--streams KIND] [--event KIND] [--ready FILE] PROGRAM ARGS...
//
// Runs PROGRAM (a packaged console launcher) in a console of its own, as a
// user's shell would, and reports on standard output what happened, one
// "key value" line each. Started with CREATE_NO_WINDOW, the driver owns a
// working console without a window; the program shares it and the
// driver's process group.
//   --streams console  PROGRAM gets the console's own handles (nothing
//                      redirected); the console's text is then reported
//                      as "screen <line>" lines
//   --streams mixed    the same, but standard output is the driver's
//                      (redirected)
//   otherwise          PROGRAM gets the driver's standard handles
//   --ready FILE       waits for FILE to hold the process id of the
//                      application (testapp's "mark"), reported as "child"
//   --event KIND       then sends the event: "c" Ctrl+C to the process
//                      group, as the console sends it; "break", "close",
//                      "logoff" or "shutdown" run the system's control
//                      routine with that event in the application and then
//                      in PROGRAM, which is what the console does for them
//                      (Wine 8 cannot send these itself)
// Reports "launcher-exit", "child-exit" (hexadecimal) and "event-to-exit-ms".
// Exit code 0 when all of it could be done; otherwise a line "driver-error".
#include <windows.h>

#include <stdio.h>

#include <map>
#include <string>

#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

constexpr DWORD kReadyTimeoutMs = 60000;
constexpr DWORD kRunTimeoutMs = 60000;
constexpr DWORD kChildTimeoutMs = 10000;

struct Options {
    std::wstring streams;
    std::wstring event;
    std::wstring readyFile;
    std::wstring commandLine;
    std::wstring program;
};

int fail(const char* what) {
    printf("driver-error %s (%lu)\n", what, GetLastError());
    return 1;
}

// The driver stays: the events it sends reach its own group too.
BOOL WINAPI ignoreEvent(DWORD) {
    return TRUE;
}

bool parse(int argc, wchar_t** argv, Options* options) {
    int index = 1;
    for (; index < argc && argv[index][0] == L'-'; ++index) {
        const std::wstring option = argv[index];
        if (option == L"--streams" && index + 1 < argc) {
            options->streams = argv[++index];
        } else if (option == L"--event" && index + 1 < argc) {
            options->event = argv[++index];
        } else if (option == L"--ready" && index + 1 < argc) {
            options->readyFile = argv[++index];
        } else {
            return false;
        }
    }
    if (index >= argc) {
        return false;
    }
    options->program = argv[index];
    for (int k = index; k < argc; ++k) {
        options->commandLine += (k == index ? L"" : L" ") + testing_support::quoteArgument(argv[k]);
    }
    return true;
}

HANDLE openConsole(const wchar_t* name) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inheritable, OPEN_EXISTING, 0, nullptr);
}

bool start(const Options& options, PROCESS_INFORMATION* launched) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (!options.streams.empty()) {
        startup.hStdInput = openConsole(L"CONIN$");
        startup.hStdError = openConsole(L"CONOUT$");
        startup.hStdOutput =
            options.streams == L"mixed" ? GetStdHandle(STD_OUTPUT_HANDLE) : startup.hStdError;
    } else {
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    std::wstring commandLine = options.commandLine;
    return CreateProcessW(options.program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                          nullptr, nullptr, &startup, launched) != 0;
}

// The application's process id from the ready file, 0 on time-out.
DWORD awaitReady(const std::wstring& path) {
    if (!testing_support::pollUntil([&] { return testing_support::fileExists(path); },
                                    kReadyTimeoutMs)) {
        return 0;
    }
    return strtoul(testing_support::readFile(path).c_str(), nullptr, 10);
}

// What the console does for an event that Wine cannot send: runs the
// process's handler chain on a new thread of it, through kernelbase's
// CtrlRoutine (at the same address in every process).
bool runControlRoutine(HANDLE process, DWORD event) {
    const FARPROC routine = GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine");
    if (routine == nullptr) {
        return false;
    }
    const HANDLE thread = CreateRemoteThread(
        process, nullptr, 0,
        reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine)),
        reinterpret_cast<void*>(static_cast<ULONG_PTR>(event)), 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool sendEvent(const std::wstring& kind, HANDLE launcher, HANDLE child) {
    if (kind == L"c") {
        return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
    }
    const std::map<std::wstring, DWORD> simulated = {{L"break", CTRL_BREAK_EVENT},
                                                     {L"close", CTRL_CLOSE_EVENT},
                                                     {L"logoff", CTRL_LOGOFF_EVENT},
                                                     {L"shutdown", CTRL_SHUTDOWN_EVENT}};
    const auto found = simulated.find(kind);
    return found != simulated.end() && child != nullptr &&
           runControlRoutine(child, found->second) && runControlRoutine(launcher, found->second);
}

void reportScreen() {
    const HANDLE screen = openConsole(L"CONOUT$");
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(screen, &info)) {
        fail("cannot read the console");
        return;
    }
    std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        DWORD got = 0;
        ReadConsoleOutputCharacterW(screen, row.data(), static_cast<DWORD>(row.size()), {0, y},
                                    &got);
        std::wstring line = row.substr(0, got);
        line.erase(line.find_last_not_of(L' ') + 1);
        printf("screen %s\n", testing_support::narrow(line).c_str());
    }
    CloseHandle(screen);
}

void reportExit(const char* what, HANDLE process, DWORD timeoutMs) {
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        printf("%s still-running\n", what);
        TerminateProcess(process, 0xDEAD);
        return;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    printf("%s 0x%lX\n", what, code);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        fwprintf(stderr, L"usage: console_driver [--streams console|mixed] [--event KIND] "
                         L"[--ready FILE] PROGRAM ARGS...\n");
        return 2;
    }
    DWORD mode = 0;
    const HANDLE screen = openConsole(L"CONOUT$");
    if (!GetConsoleMode(screen, &mode)) {
        return fail("no working console (start the driver with CREATE_NO_WINDOW)");
    }
    CloseHandle(screen);
    SetConsoleCtrlHandler(ignoreEvent, TRUE);

    PROCESS_INFORMATION launched{};
    if (!start(options, &launched)) {
        return fail("cannot start the program");
    }
    CloseHandle(launched.hThread);
    HANDLE child = nullptr;
    if (!options.readyFile.empty()) {
        const DWORD childId = awaitReady(options.readyFile);
        child = childId == 0 ? nullptr : OpenProcess(PROCESS_ALL_ACCESS, FALSE, childId);
        if (child == nullptr) {
            return fail("the application did not get ready");
        }
        printf("child %lu\n", childId);
    }
    const ULONGLONG sent = GetTickCount64();
    if (!options.event.empty() && !sendEvent(options.event, launched.hProcess, child)) {
        return fail("cannot send the event");
    }
    reportExit("launcher-exit", launched.hProcess, kRunTimeoutMs);
    printf("event-to-exit-ms %llu\n", GetTickCount64() - sent);
    if (child != nullptr) {
        reportExit("child-exit", child, kChildTimeoutMs);
    }
    if (!options.streams.empty()) {
        reportScreen();
    }
    return 0;
}
