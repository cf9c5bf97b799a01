// The sweep in process, where the system's answers can be bent: a process
// that cannot be opened, a guard that cannot be made or asked about, an
// ended process that can still be opened, and a runs' directory that is a
// link. The end-to-end runs are in tests/e2e/test_leftovers.cpp.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/run_directory.h"
#include "launcher/state.h"
#include "launcher/sweep.h"
#include "system/system_calls.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using namespace testing_support;

std::wstring decimal(unsigned long long value) {
    return std::to_wstring(value);
}

unsigned long long fileTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

HANDLE WINAPI deniedProcess(DWORD, BOOL, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}
HANDLE WINAPI deniedGuard(DWORD, BOOL, LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}
HANDLE WINAPI refusedGuard(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}

// This test process as the parent of a run in scratch\runs, its directory
// created and the cleanup armed; the sweep looks at its siblings.
class Sweep : public ::testing::Test {
  protected:
    void TearDown() override {
        systemCalls = defaultSystemCalls();
        cleanupFlag.store(0);
        targetDirectory[0] = 0;
    }
    void startOwnRun(const std::wstring& runs) {
        own_ = L"onefile_" + decimal(GetCurrentProcessId()) + L"_" + decimal(fileTimeNow());
        wcscpy_s(targetDirectory, kTargetDirectoryCapacity, (runs + L"\\" + own_).c_str());
        createRunDirectory();
        ASSERT_EQ(cleanupFlag.load(), 1);
    }
    void plant(const std::wstring& runs, const std::wstring& name) {
        writeFile(runs + L"\\" + name + L"\\x.txt", "x");
    }

    ScratchDirectory scratch_{L"sweep"};
    std::wstring runs_ = scratch_ / L"runs";
    std::wstring own_;
};

// Only "no such process" lets a run's directory go: a process that is there
// but cannot be opened may be the run's parent.
TEST_F(Sweep, AProcessThatCannotBeOpenedCountsAsLive) {
    startOwnRun(runs_);
    plant(runs_, L"onefile_4000000_1");
    systemCalls.openProcess = deniedProcess;
    sweepFinishedRuns();
    EXPECT_THAT(namesIn(runs_), UnorderedElementsAre(L"onefile_4000000_1", own_));
    systemCalls = defaultSystemCalls();
    sweepFinishedRuns();
    EXPECT_THAT(namesIn(runs_), ElementsAre(own_));
}

// Wine (and Windows) let a process that has ended be opened for a while,
// here for as long as this test holds a handle to it.
TEST_F(Sweep, AnEndedProcessThatCanStillBeOpenedCountsAsOver) {
    startOwnRun(runs_);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION ended{};
    std::wstring commandLine = L"cmd.exe /c exit 0";
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                               CREATE_NO_WINDOW, nullptr, nullptr, &startup, &ended));
    ASSERT_EQ(WaitForSingleObject(ended.hProcess, 30000), WAIT_OBJECT_0);
    const std::wstring name =
        L"onefile_" + decimal(ended.dwProcessId) + L"_" + decimal(fileTimeNow());
    plant(runs_, name);
    sweepFinishedRuns();
    EXPECT_THAT(namesIn(runs_), ElementsAre(own_));
    CloseHandle(ended.hThread);
    CloseHandle(ended.hProcess);
}

// Without its guard the own run is still left alone: its process lives and
// started before the time in its name. A guard that cannot be asked about
// counts as held.
TEST_F(Sweep, ARefusedOrUnreadableGuardNeverExposesALiveRun) {
    systemCalls.createMutex = refusedGuard;
    startOwnRun(runs_);
    sweepFinishedRuns();
    EXPECT_THAT(namesIn(runs_), ElementsAre(own_));
    plant(runs_, L"onefile_4000000_1");
    systemCalls.openMutex = deniedGuard;
    sweepFinishedRuns();
    EXPECT_THAT(namesIn(runs_), UnorderedElementsAre(L"onefile_4000000_1", own_));
}

// The runs' directory swapped for a link to some other place: the run
// directory goes there, but nothing there is swept.
TEST_F(Sweep, NothingIsSweptThroughARunsDirectoryThatIsALink) {
    const std::wstring elsewhere = scratch_ / L"elsewhere";
    plant(elsewhere, L"onefile_4000000_1");
    if (!makeLinuxSymlink(runs_, elsewhere)) {
        GTEST_SKIP() << "needs Wine to make Linux links";
    }
    startOwnRun(runs_);
    sweepFinishedRuns();
    EXPECT_THAT(namesIn(elsewhere), UnorderedElementsAre(L"onefile_4000000_1", own_));
    runLinuxProgram("/bin/rm", {linuxPath(runs_)});
}

} // namespace
