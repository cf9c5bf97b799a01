#include "tests/support/process.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tests/support/files.h"

namespace testing_support {
namespace {

constexpr int kStartAttempts = 3;
constexpr DWORD kStartRetryPauseMs = 200;

// The codes that a process gets when an exception ends it.
struct ExceptionName {
    DWORD code;
    const char* name;
};
constexpr ExceptionName kExceptionNames[] = {
    {0x80000002, "datatype misalignment"}, {0x80000003, "breakpoint"},
    {0xC0000005, "access violation"},      {0xC0000006, "in-page error"},
    {0xC000001D, "illegal instruction"},   {0xC0000025, "noncontinuable exception"},
    {0xC000008C, "array bounds exceeded"}, {0xC0000094, "integer divide by zero"},
    {0xC0000095, "integer overflow"},      {0xC0000096, "privileged instruction"},
    {0xC00000FD, "stack overflow"},        {0xC0000374, "heap corruption"},
    {0xC0000409, "stack buffer overrun"},
};

const char* exceptionName(DWORD code) {
    for (const ExceptionName& known : kExceptionNames) {
        if (known.code == code) {
            return known.name;
        }
    }
    return nullptr;
}

std::string hexCode(DWORD code) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08lX", code);
    return text;
}

struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

Pipe makePipe(bool childReads) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    Pipe pipe;
    CreatePipe(&pipe.read, &pipe.write, &inheritable, 0);
    // Only the child's end is inherited.
    SetHandleInformation(childReads ? pipe.write : pipe.read, HANDLE_FLAG_INHERIT, 0);
    return pipe;
}

struct Drain {
    HANDLE pipe;
    std::string* into;
};

DWORD WINAPI drain(void* parameter) {
    const Drain* const job = static_cast<const Drain*>(parameter);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(job->pipe, buffer, sizeof(buffer), &got, nullptr) && got != 0) {
        job->into->append(buffer, got);
    }
    return 0;
}

// A grandchild that inherited the pipe may keep it open after the process
// ended; give the reader a moment, then cancel its read. Should the cancel
// not reach it either (Wine may leave a stray copy of the pipe's other end in
// this process), the reader is ended: a test that loses the rest of the
// output fails, where one that waits forever would stall the whole run.
void finishDrain(HANDLE thread) {
    if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0) {
        CancelSynchronousIo(thread);
        if (WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0) {
            TerminateThread(thread, 1);
            WaitForSingleObject(thread, INFINITE);
        }
    }
    CloseHandle(thread);
}

// The environment block for the child: ours with the options' changes.
std::wstring buildEnvironment(const RunOptions& options) {
    std::map<std::wstring, std::wstring> variables;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != 0; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        const size_t equals = text.find(L'=', 1);
        if (equals != std::wstring::npos) {
            variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : options.environment) {
        if (value) {
            variables[name] = *value;
        } else {
            variables.erase(name);
        }
    }
    std::wstring result;
    for (const auto& [name, value] : variables) {
        result += name + L"=" + value;
        result.push_back(L'\0');
    }
    result.push_back(L'\0');
    return result;
}

} // namespace

RunOptions cleanOptions() {
    RunOptions options;
    for (const wchar_t* name : {L"TAMBRO_ONEFILE_PARENT", L"TAMBRO_ONEFILE_START",
                                L"TAMBRO_ONEFILE_DIRECTORY", L"TAMBRO_ORIGINAL_ARGV0"}) {
        options.environment[name] = std::nullopt;
    }
    return options;
}

void useTempDirectory(RunOptions* options, const std::wstring& directory) {
    options->environment[L"TMP"] = directory;
    options->environment[L"TEMP"] = directory;
}

RunOptions privateTempOptions(const std::wstring& directory) {
    RunOptions options = cleanOptions();
    useTempDirectory(&options, directory);
    return options;
}

std::wstring quoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

namespace {

ProcessResult runOnce(const std::wstring& program, const std::vector<std::wstring>& arguments,
                      const RunOptions& options) {
    std::wstring commandLine = options.commandLine;
    if (commandLine.empty()) {
        commandLine = quoteArgument(program);
        for (const std::wstring& argument : arguments) {
            commandLine += L" " + quoteArgument(argument);
        }
    }
    const Pipe input = makePipe(true);
    const Pipe output = makePipe(false);
    const Pipe error = makePipe(false);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.read;
    startup.hStdOutput = output.write;
    startup.hStdError = options.errorIntoOutput ? output.write : error.write;

    std::wstring environment = buildEnvironment(options);
    PROCESS_INFORMATION info{};
    ProcessResult result;
    const DWORD suspended = options.beforeStart ? CREATE_SUSPENDED : 0;
    BOOL started = FALSE;
    DWORD startError = ERROR_SUCCESS;
    // Wine under load now and then refuses to start a process at all
    // (ERROR_INTERNAL_ERROR), and starts it when asked again.
    for (int attempt = 1;; ++attempt) {
        started = CreateProcessW(
            program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
            CREATE_UNICODE_ENVIRONMENT | suspended | options.creationFlags, environment.data(),
            options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(), &startup,
            &info);
        startError = GetLastError();
        if (started || startError != ERROR_INTERNAL_ERROR || attempt == kStartAttempts) {
            break;
        }
        Sleep(kStartRetryPauseMs);
    }
    CloseHandle(input.read);
    CloseHandle(output.write);
    CloseHandle(error.write);
    if (!started) {
        CloseHandle(input.write);
        CloseHandle(output.read);
        CloseHandle(error.read);
        result.exitCode = 0xFFFFFFFF;
        result.standardError =
            "runProcess: CreateProcessW failed with " + std::to_string(startError);
        return result;
    }
    if (options.beforeStart) {
        options.beforeStart(info.dwProcessId);
        ResumeThread(info.hThread);
    }
    CloseHandle(info.hThread);
    result.processId = info.dwProcessId;

    Drain outJob{output.read, &result.standardOutput};
    Drain errJob{error.read, &result.standardError};
    const HANDLE outReader = CreateThread(nullptr, 0, drain, &outJob, 0, nullptr);
    const HANDLE errReader = CreateThread(nullptr, 0, drain, &errJob, 0, nullptr);
    if (!options.standardInput.empty()) {
        DWORD written = 0;
        WriteFile(input.write, options.standardInput.data(),
                  static_cast<DWORD>(options.standardInput.size()), &written, nullptr);
    }
    CloseHandle(input.write);

    // Only a time-out ends the program: under Wine the wait on a Linux
    // program's handle can fail at once, and such a program is not waited for
    // (runLinuxProgram waits for its status file instead).
    if (WaitForSingleObject(info.hProcess, options.timeoutMs) == WAIT_TIMEOUT) {
        result.timedOut = true;
        TerminateProcess(info.hProcess, 0xDEAD);
        WaitForSingleObject(info.hProcess, INFINITE);
    }
    GetExitCodeProcess(info.hProcess, &result.exitCode);
    CloseHandle(info.hProcess);
    finishDrain(outReader);
    finishDrain(errReader);
    CloseHandle(output.read);
    CloseHandle(error.read);
    // In the test's own output, beside whatever the test expected.
    if (result.timedOut || exceptionName(result.exitCode) != nullptr) {
        fprintf(stderr, "runProcess: %s %s\n", narrow(program).c_str(), result.ending().c_str());
    }
    return result;
}

} // namespace

ProcessResult runProcess(const std::wstring& program, const std::vector<std::wstring>& arguments,
                         const RunOptions& options) {
    ProcessResult result = runOnce(program, arguments, options);
    for (int retry = 0; retry < kRefusedLaunchRetries && isWineLaunchRefusal(result); ++retry) {
        Sleep(kStartRetryPauseMs);
        result = runOnce(program, arguments, options);
    }
    return result;
}

std::string ProcessResult::ending() const {
    if (timedOut) {
        return "killed at its time-out";
    }
    const char* const exception = exceptionName(exitCode);
    if (exception != nullptr) {
        return "ended by exception " + hexCode(exitCode) + " (" + exception + ")";
    }
    return "exit code " + (exitCode > 0xFFFF ? hexCode(exitCode) : std::to_string(exitCode));
}

bool isWineLaunchRefusal(const ProcessResult& result) {
    return result.exitCode == 2 &&
           result.standardError.rfind("Error, couldn't launch child ([Error 1359]", 0) == 0;
}

BackgroundProcess::BackgroundProcess(const std::wstring& program,
                                     const std::vector<std::wstring>& arguments,
                                     RunOptions options) {
    std::future<DWORD> processId = known_.get_future();
    const std::function<void(DWORD)> before = options.beforeStart;
    // Runs on the thread while the program is still suspended: the handle
    // taken here keeps its id from passing to another process.
    options.beforeStart = [this, before](DWORD id) {
        process_ = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (before) {
            before(id);
        }
        known_.set_value(id);
    };
    started_ = Clock::now();
    thread_ = std::thread([this, program, arguments, options] {
        result_ = runOnce(program, arguments, options);
        ended_ = Clock::now();
        if (result_.processId == 0) {
            known_.set_value(0);
        }
    });
    processId_ = processId.get();
}

BackgroundProcess::~BackgroundProcess() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (process_ != nullptr) {
        CloseHandle(process_);
    }
}

bool BackgroundProcess::terminate(DWORD exitCode) {
    return process_ != nullptr && TerminateProcess(process_, exitCode);
}

bool BackgroundProcess::hasEnded(DWORD timeoutMs) const {
    return process_ != nullptr && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
}

ProcessResult BackgroundProcess::finish() {
    if (thread_.joinable()) {
        thread_.join();
    }
    return result_;
}

double BackgroundProcess::seconds() const {
    return std::chrono::duration<double>(ended_ - started_).count();
}

DWORD awaitMark(const std::wstring& path, const BackgroundProcess& writer, DWORD timeoutMs) {
    const auto marked = [&] { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; };
    pollUntil([&] { return marked() || writer.hasEnded(0); }, timeoutMs);
    if (!marked()) {
        return 0;
    }
    return static_cast<DWORD>(strtoul(readFile(path).c_str(), nullptr, 10));
}

std::string MarkedRun::why() const {
    if (!process->hasEnded(0)) {
        return "no mark yet; the run goes on";
    }
    const ProcessResult result = process->finish();
    return "the run ended with " + std::to_string(result.exitCode) + ": " + result.standardOutput +
           result.standardError;
}

MarkedRun startMarked(const std::wstring& program, const std::vector<std::wstring>& arguments,
                      const RunOptions& options, const std::wstring& mark, DWORD timeoutMs) {
    MarkedRun run;
    for (int attempt = 0;; ++attempt) {
        run.process = std::make_unique<BackgroundProcess>(program, arguments, options);
        run.markedId = awaitMark(mark, *run.process, timeoutMs);
        if (run.markedId != 0 || attempt == kRefusedLaunchRetries || !run.process->hasEnded(0) ||
            !isWineLaunchRefusal(run.process->finish())) {
            return run;
        }
    }
}

bool pollUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    while (!condition()) {
        if (GetTickCount64() - start >= timeoutMs) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

std::vector<std::string> outputLines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        size);
    return result;
}

} // namespace testing_support
