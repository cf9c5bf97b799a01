// The child launch and the start-up sequence run inside the test process,
// with failures injected through the system-call table. launchChildAndWait
// starts this very test program again; the copy recognises itself by an
// environment variable before gtest runs, records its command line and
// exits with the code it is told.
#include <windows.h>
#include <io.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "launcher/child_launch.h"
#include "launcher/cleanup.h"
#include "launcher/run_directory.h"
#include "launcher/startup.h"
#include "launcher/state.h"
#include "system/system_calls.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

using testing_support::ScratchDirectory;

constexpr wchar_t kRelaunchExitCode[] = L"CORVELLINTH_TEST_RELAUNCH_EXIT";
constexpr wchar_t kRelaunchReport[] = L"CORVELLINTH_TEST_RELAUNCH_REPORT";
constexpr wchar_t kRelaunchSleep[] = L"CORVELLINTH_TEST_RELAUNCH_SLEEP";
constexpr wchar_t kRelaunchJobReport[] = L"CORVELLINTH_TEST_RELAUNCH_JOB_REPORT";
constexpr wchar_t kOrphanIdFile[] = L"CORVELLINTH_TEST_ORPHAN_ID_FILE";
// Generous: the system ends a job's processes at once.
constexpr DWORD kOrphanEndsMs = 30000;

std::wstring variable(const wchar_t* name) {
    std::vector<wchar_t> value(32768);
    const DWORD length = GetEnvironmentVariableW(name, value.data(), 32768);
    return std::wstring(value.data(), length);
}

// "1" when this process is in a job, "0" when not.
std::string jobMembership(HANDLE process) {
    BOOL inJob = FALSE;
    IsProcessInJob(process, nullptr, &inJob);
    return inJob ? "1" : "0";
}

// In the relaunched copy: writes the command line it got and whether it is
// in a job (as its very first code runs), sleeps when told to, then ends.
bool endIfRelaunched() {
    const std::wstring code = variable(kRelaunchExitCode);
    if (code.empty()) {
        return false;
    }
    const std::wstring report = variable(kRelaunchReport);
    if (!report.empty()) {
        testing_support::writeFile(report, testing_support::narrow(GetCommandLineW()));
    }
    const std::wstring jobReport = variable(kRelaunchJobReport);
    if (!jobReport.empty()) {
        testing_support::writeFile(jobReport, jobMembership(GetCurrentProcess()));
    }
    Sleep(wcstoul(variable(kRelaunchSleep).c_str(), nullptr, 10));
    ExitProcess(static_cast<UINT>(wcstoul(code.c_str(), nullptr, 0)));
}

const bool relaunched = endIfRelaunched();

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine) {
    int count = 0;
    LPWSTR* const parts = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> result(parts, parts + count);
    LocalFree(parts);
    return result;
}

std::wstring ownModulePath() {
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    return std::wstring(path, length);
}

// Every process or thread handle that went through the table's CloseHandle
// (the delete's file handles go through it too).
std::vector<HANDLE> closedHandles;
BOOL WINAPI recordingCloseHandle(HANDLE handle) {
    if (GetProcessId(handle) != 0 || GetThreadId(handle) != 0) {
        closedHandles.push_back(handle);
    }
    return CloseHandle(handle);
}
BOOL WINAPI failingGetExitCodeProcess(HANDLE, LPDWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Sets up what a parent has after unpacking (the cleanup armed for a scratch
// tree) and tells the relaunched copy how to end; undoes it afterwards.
class LaunchAndWait : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(relaunched);
        closedHandles.clear();
        wcscpy_s(targetDirectory, kTargetDirectoryCapacity, target_.c_str());
        createRunDirectory();
        testing_support::writeFile(target_ + L"\\inner\\file.txt", "data");
        systemCalls.closeHandle = recordingCloseHandle;
        SetEnvironmentVariableW(kRelaunchReport, (scratch_ / L"command-line.txt").c_str());
        SetEnvironmentVariableW(kRelaunchJobReport, (scratch_ / L"job.txt").c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(kRelaunchExitCode, nullptr);
        SetEnvironmentVariableW(kRelaunchReport, nullptr);
        SetEnvironmentVariableW(kRelaunchJobReport, nullptr);
        SetEnvironmentVariableW(kRelaunchSleep, nullptr);
        systemCalls = defaultSystemCalls();
        cleanupFlag.store(0);
        childExitCode.store(kNoChildExitCode);
        targetDirectory[0] = 0;
    }
    void childExitsWith(const wchar_t* code) { SetEnvironmentVariableW(kRelaunchExitCode, code); }
    std::wstring childCommandLine() {
        return testing_support::widen(testing_support::readFile(scratch_ / L"command-line.txt"));
    }
    std::string childInJob() { return testing_support::readFile(scratch_ / L"job.txt"); }

    ScratchDirectory scratch_{L"wait"};
    std::wstring target_ = scratch_ / L"target";
};

// Thread handle, original and published duplicate: three handles, each
// closed once, none left in the shared variable.
TEST_F(LaunchAndWait, ReturnsTheExitCodeAndClosesEveryHandleOnce) {
    childExitsWith(L"0xC0000005");
    EXPECT_EQ(launchChildAndWait(), 0xC0000005u);
    EXPECT_FALSE(testing_support::directoryExists(target_));
    EXPECT_EQ(childProcess.load(), nullptr);
    std::vector<HANDLE> sorted = closedHandles;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(closedHandles.size(), 3u);
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
        << "a handle was closed twice";
}

TEST_F(LaunchAndWait, AnUnreadableExitCodeGivesOneAndTheCleanupStillRuns) {
    systemCalls.getExitCodeProcess = failingGetExitCodeProcess;
    childExitsWith(L"42");
    EXPECT_EQ(launchChildAndWait(), 1u);
    EXPECT_FALSE(testing_support::directoryExists(target_));
}

TEST_F(LaunchAndWait, TheChildGetsTheOwnFullPathAndTheSameArguments) {
    childExitsWith(L"0");
    launchChildAndWait();
    const std::vector<std::wstring> own = splitCommandLine(GetCommandLineW());
    const std::vector<std::wstring> child = splitCommandLine(childCommandLine());
    ASSERT_FALSE(child.empty());
    EXPECT_EQ(child[0], ownModulePath());
    EXPECT_EQ(std::vector<std::wstring>(child.begin() + 1, child.end()),
              std::vector<std::wstring>(own.begin() + 1, own.end()));
    EXPECT_EQ(variable(L"TAMBRO_ORIGINAL_ARGV0"), __wargv[0]);
    const std::wstring module = ownModulePath();
    std::wstring directory = module.substr(0, module.rfind(L'\\'));
    wchar_t shortDirectory[4096];
    if (GetShortPathNameW(directory.c_str(), shortDirectory, 4096) != 0) {
        directory = shortDirectory;
    }
    EXPECT_EQ(variable(L"TAMBRO_ONEFILE_DIRECTORY"), directory);
}

// A console event while the parent waits for a child that ignores it: the
// handler terminates the child as interrupted, and that code, not 0, is
// what the parent returns.
TEST_F(LaunchAndWait, AChildStoppedByTheHandlerGivesTheInterruptionCode) {
    childExitsWith(L"0");
    SetEnvironmentVariableW(kRelaunchSleep, L"60000");
    DWORD exitCode = 0;
    std::thread parent([&exitCode] { exitCode = launchChildAndWait(); });
    while (childProcess.load() == nullptr) {
        Sleep(10);
    }
    DWORD handlerExitCode = 0;
    std::thread handler(
        [&handlerExitCode] { stopRunForConsoleEvent(CTRL_C_EVENT, &handlerExitCode); });
    handler.join();
    parent.join();
    EXPECT_EQ(exitCode, 0xC000013Au);
    EXPECT_EQ(handlerExitCode, 0xC000013Au);
    EXPECT_FALSE(testing_support::directoryExists(target_));
}

HANDLE WINAPI refusedJob(LPSECURITY_ATTRIBUTES, LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}
BOOL WINAPI refusedLimits(HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
BOOL WINAPI refusedAssignment(HANDLE, HANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
// A system without the attribute that creates a process inside a job.
BOOL WINAPI unknownAttribute(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID,
                             PSIZE_T) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

// The child is in the job before it runs a single instruction of its own,
// created inside it or assigned to it while suspended; a system that
// refuses the job runs the child without it.
TEST_F(LaunchAndWait, TheChildRunsInAJobFromItsStartUnlessTheSystemRefusesIt) {
    if (jobMembership(GetCurrentProcess()) == "1") {
        GTEST_SKIP() << "this test runs in a job already, which its children inherit";
    }
    childExitsWith(L"7");
    const std::vector<std::pair<const char*, void (*)()>> systems = {
        {"1", [] {}},
        {"1", [] { systemCalls.updateProcThreadAttribute = unknownAttribute; }},
        {"1", [] { systemCalls.assignProcessToJobObject = refusedAssignment; }},
        {"0", [] { systemCalls.createJobObject = refusedJob; }},
        {"0", [] { systemCalls.setInformationJobObject = refusedLimits; }},
        {"0",
         [] {
             systemCalls.updateProcThreadAttribute = unknownAttribute;
             systemCalls.assignProcessToJobObject = refusedAssignment;
         }},
    };
    for (std::size_t index = 0; index < systems.size(); ++index) {
        SCOPED_TRACE(index);
        systemCalls = defaultSystemCalls();
        systemCalls.closeHandle = recordingCloseHandle;
        systems[index].second();
        if (index > 0) { // SetUp made the first
            createRunDirectory();
        }
        EXPECT_EQ(launchChildAndWait(), 7u);
        EXPECT_EQ(childInJob(), systems[index].first);
        EXPECT_FALSE(testing_support::directoryExists(target_));
    }
}

// Where the killed parent's death test leaves the id of the child it made.
// A fixed name: the death test's process runs the test again up to it.
std::wstring orphanIdFile() {
    return testing_support::systemTempDirectory() + L"\\corv-orphan-id.txt";
}

// The parent killed between the child's creation and its start: the
// child, created inside the job, ends with the parent's last handle to it
// instead of staying suspended for ever.
BOOL WINAPI createThenGetKilled(LPCWSTR application, LPWSTR commandLine,
                                LPSECURITY_ATTRIBUTES processSecurity,
                                LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags,
                                LPVOID environment, LPCWSTR directory, LPSTARTUPINFOW startup,
                                LPPROCESS_INFORMATION created) {
    // Without handles to inherit: a child left suspended must not keep the
    // death test's pipes open, or the test would wait for it for ever.
    static_cast<void>(inherit);
    if (CreateProcessW(application, commandLine, processSecurity, threadSecurity, FALSE, flags,
                       environment, directory, startup, created)) {
        testing_support::writeFile(variable(kOrphanIdFile), std::to_string(created->dwProcessId));
    }
    TerminateProcess(GetCurrentProcess(), 9);
    return FALSE;
}

TEST(LaunchDeathTest, AParentKilledRightAfterCreatingTheChildTakesTheChildAlong) {
    const std::wstring idFile = orphanIdFile();
    DeleteFileW(idFile.c_str());
    SetEnvironmentVariableW(kOrphanIdFile, idFile.c_str());
    EXPECT_EXIT(
        {
            SetEnvironmentVariableW(kRelaunchExitCode, L"0");
            systemCalls.createProcess = createThenGetKilled;
            launchChildAndWait();
        },
        ::testing::ExitedWithCode(9), "");
    SetEnvironmentVariableW(kOrphanIdFile, nullptr);
    const DWORD childId = std::stoul("0" + testing_support::readFile(idFile));
    DeleteFileW(idFile.c_str());
    ASSERT_NE(childId, 0u);
    const HANDLE child = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, childId);
    if (child == nullptr) {
        return; // gone already
    }
    const bool ended = WaitForSingleObject(child, kOrphanEndsMs) == WAIT_OBJECT_0;
    if (!ended) {
        TerminateProcess(child, 0);
    }
    CloseHandle(child);
    EXPECT_TRUE(ended) << "the child outlived its killed parent, suspended";
}

DWORD WINAPI failingResumeThread(HANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return static_cast<DWORD>(-1);
}

BOOL WINAPI failingCreateProcess(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                 BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                 LPPROCESS_INFORMATION) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// A child that cannot be started ends the parent with its message and exit
// code as always, and the run directory goes before the process ends. So
// does a child that cannot be resumed, which would be waited for forever.
TEST(LaunchDeathTest, AChildThatCannotBeStartedOrResumedTakesTheRunDirectoryWithIt) {
    // A fixed name: the death test's process ends without destructors.
    const std::wstring target = testing_support::systemTempDirectory() + L"\\corv-launch-failure";
    for (const auto& fail :
         std::vector<void (*)()>{[] { systemCalls.createProcess = failingCreateProcess; },
                                 [] { systemCalls.resumeThread = failingResumeThread; }}) {
        testing_support::removeTree(target);
        EXPECT_EXIT(
            {
                wcscpy_s(targetDirectory, kTargetDirectoryCapacity, target.c_str());
                createRunDirectory();
                testing_support::writeFile(target + L"\\main.dll", "unpacked");
                fail();
                launchChildAndWait();
            },
            ::testing::ExitedWithCode(2),
            ::testing::StartsWith("Error, couldn't launch child ([Error 5] "));
        EXPECT_FALSE(testing_support::directoryExists(target));
    }
    testing_support::removeTree(target);
}

// fatalError writes to standard output; death tests read standard error.
void sendStandardOutputToStandardError() {
    fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
}

BOOL WINAPI failingSetConsoleCtrlHandler(PHANDLER_ROUTINE, BOOL) {
    return FALSE;
}

// The test program carries no attached data, so a parent start gets as far
// as the header check, after the handler is registered.
TEST(StartupDeathTest, HandlerRegistrationFailureEndsBeforeTheHeaderCheck) {
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            systemCalls.setConsoleCtrlHandler = failingSetConsoleCtrlHandler;
            runLauncher();
        },
        ::testing::ExitedWithCode(2),
        ::testing::StartsWith("Error, failed to register signal handler."));
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            runLauncher();
        },
        ::testing::ExitedWithCode(2),
        ::testing::StartsWith("Error, couldn't find attached data header."));
}

} // namespace
