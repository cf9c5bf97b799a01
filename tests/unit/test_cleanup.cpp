// The cleanup and the console handler with real processes: children that
// end in time or must be stopped, a file held open by another process, the
// flag, the event values, and the two threads racing for the child handle.
// The children are this test program itself, started with a filter that
// selects CleanupHelper.Run and a variable that says what to do.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "launcher/cleanup.h"
#include "launcher/run_directory.h"
#include "launcher/state.h"
#include "system/system_calls.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

using testing_support::directoryExists;
using testing_support::listFiles;
using testing_support::readFile;
using testing_support::ScratchDirectory;
using testing_support::writeFile;

constexpr wchar_t kHelperVariable[] = L"CORVELLINTH_CLEANUP_HELPER";
constexpr DWORD kOwnExitCode = 7;

// What the helper child does, from its variable:
//   "sleep MS CODE"       sleep, then exit with CODE
//   "ready EVENT MS CODE" signal EVENT, sleep, exit with CODE: the sleep
//                         counts from a point the test knows
//   "hold EVENT MS PATH"  open PATH without delete sharing, signal EVENT,
//                         sleep, exit
TEST(CleanupHelper, Run) {
    const wchar_t* const job = _wgetenv(kHelperVariable);
    if (job == nullptr) {
        GTEST_SKIP() << "only runs as a helper process of the other tests";
    }
    unsigned long milliseconds = 0;
    unsigned long code = 0;
    wchar_t event[64] = {};
    if (swscanf(job, L"sleep %lu %lu", &milliseconds, &code) == 2) {
        Sleep(milliseconds);
        ExitProcess(static_cast<UINT>(code));
    }
    if (swscanf(job, L"ready %63ls %lu %lu", event, &milliseconds, &code) == 3) {
        const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, event);
        if (ready == nullptr) {
            ExitProcess(99);
        }
        SetEvent(ready);
        Sleep(milliseconds);
        ExitProcess(static_cast<UINT>(code));
    }
    int pathStart = 0;
    if (swscanf(job, L"hold %63ls %lu %n", event, &milliseconds, &pathStart) == 2) {
        const HANDLE file =
            CreateFileW(job + pathStart, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, event);
        if (file == INVALID_HANDLE_VALUE || ready == nullptr) {
            ExitProcess(99);
        }
        SetEvent(ready);
        Sleep(milliseconds);
        ExitProcess(0);
    }
    ExitProcess(98);
}

// Starts this program as a helper with job; returns its process handle.
HANDLE startHelper(const std::wstring& job) {
    wchar_t program[MAX_PATH];
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring commandLine =
        L"\"" + std::wstring(program) + L"\" --gtest_filter=CleanupHelper.Run";
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    const HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inheritable, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION info{};
    SetEnvironmentVariableW(kHelperVariable, job.c_str());
    const BOOL started = CreateProcessW(program, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &info);
    SetEnvironmentVariableW(kHelperVariable, nullptr);
    CloseHandle(nul);
    if (!started) {
        ADD_FAILURE() << "could not start the helper: " << GetLastError();
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}

constexpr DWORD kReadyTimeoutMs = 60000;

// A named event for a helper's "ready" or "hold", made before the helper.
class ReadyEvent {
  public:
    explicit ReadyEvent(const wchar_t* purpose)
        : name_(std::wstring(L"corvellinth-") + purpose + L"-" +
                std::to_wstring(GetCurrentProcessId())),
          event_(CreateEventW(nullptr, TRUE, FALSE, name_.c_str())) {}
    ~ReadyEvent() { CloseHandle(event_); }
    ReadyEvent(const ReadyEvent&) = delete;
    ReadyEvent& operator=(const ReadyEvent&) = delete;
    const std::wstring& name() const { return name_; }
    // True once the helper has signalled it.
    bool await() const { return WaitForSingleObject(event_, kReadyTimeoutMs) == WAIT_OBJECT_0; }

  private:
    std::wstring name_;
    HANDLE event_;
};

// The main thread's side of the handle protocol: a duplicate goes into
// childProcess, the original stays with the caller.
HANDLE publishDuplicate(HANDLE original) {
    HANDLE duplicate = nullptr;
    DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &duplicate, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    childProcess.store(duplicate);
    return duplicate;
}

DWORD exitCodeOf(HANDLE process) {
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process, &code);
    return code;
}

// Counters behind the seams.
std::atomic<HANDLE> watchedHandle{nullptr};
std::atomic<int> watchedCloses{0};
// Closes of the watched handle that failed: it was no longer open.
std::atomic<int> failedCloses{0};
// Listings of the target directory itself (one per delete attempt), and the
// pauses between attempts.
std::wstring rootPattern;
std::atomic<int> rootListings{0};
std::vector<DWORD> pauses;
// What the delete opened (flags, share mode, the handle) and which handles
// it marked for deletion.
struct Open {
    DWORD share;
    DWORD flags;
    HANDLE handle;
};
std::vector<Open> opens;
std::vector<HANDLE> marked;

HANDLE WINAPI countListing(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID data,
                           FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
    rootListings += pattern == rootPattern ? 1 : 0;
    return FindFirstFileExW(pattern, level, data, search, filter, flags);
}

void WINAPI recordPause(DWORD milliseconds) {
    pauses.push_back(milliseconds);
    Sleep(milliseconds);
}

HANDLE WINAPI recordOpen(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE model) {
    const HANDLE handle = CreateFileW(path, access, share, security, disposition, flags, model);
    opens.push_back({share, flags, handle});
    return handle;
}

BOOL WINAPI recordMark(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID information,
                       DWORD size) {
    if (kind == FileDispositionInfo &&
        static_cast<FILE_DISPOSITION_INFO*>(information)->DeleteFile) {
        marked.push_back(handle);
    }
    return SetFileInformationByHandle(handle, kind, information, size);
}

// The watched handle's value may be reused by the delete's handles once it
// is closed, so only its first close counts; any failed close is a handle
// closed twice.
BOOL WINAPI countClose(HANDLE handle) {
    HANDLE watched = handle;
    if (watchedHandle.compare_exchange_strong(watched, nullptr)) {
        ++watchedCloses;
    }
    const BOOL closed = CloseHandle(handle);
    failedCloses += closed ? 0 : 1;
    return closed;
}

class Cleanup : public ::testing::Test {
  protected:
    void SetUp() override {
        rootListings = 0;
        pauses.clear();
        watchedCloses = 0;
        failedCloses = 0;
        watchedHandle = nullptr;
        systemCalls.findFirstFile = countListing;
        systemCalls.sleep = recordPause;
        systemCalls.closeHandle = countClose;
    }
    void TearDown() override {
        EXPECT_EQ(failedCloses.load(), 0) << "a closed handle was closed again";
        systemCalls = defaultSystemCalls();
        cleanupFlag.store(0);
        childExitCode.store(kNoChildExitCode);
        targetDirectory[0] = L'\0';
        const HANDLE left = childProcess.exchange(nullptr);
        if (left != nullptr) {
            CloseHandle(left);
        }
    }

    // A small tree in a run directory made as the parent makes it.
    std::wstring armTarget(const std::wstring& name = L"target") {
        const std::wstring target = scratch_ / name;
        wcscpy_s(targetDirectory, kTargetDirectoryCapacity, target.c_str());
        createRunDirectory();
        EXPECT_EQ(cleanupFlag.load(), 1);
        writeFile(target + L"\\app.dll", "dll");
        writeFile(target + L"\\data\\nested\\file.txt", "text");
        rootPattern = L"\\\\?\\" + target + L"\\*";
        return target;
    }

    ScratchDirectory scratch_{L"cleanup"};
};

ULONGLONG millisecondsSince(ULONGLONG start) {
    return GetTickCount64() - start;
}

TEST_F(Cleanup, NormalEndWithoutChildDeletesTheDirectoryAtFirstAttempt) {
    const std::wstring target = armTarget();
    cleanupOnExit();
    EXPECT_FALSE(directoryExists(target));
    EXPECT_EQ(rootListings.load(), 1);
    EXPECT_THAT(pauses, ::testing::IsEmpty());
    // A second run (handler, then the normal end) finds nothing to do.
    cleanupOnExit();
    EXPECT_EQ(rootListings.load(), 1);
    EXPECT_FALSE(directoryExists(target));
}

// Every entry is opened without following a link and without delete
// sharing, and deleted through the very handle that was checked.
TEST_F(Cleanup, TheDeleteMarksOnlyHandlesItOpenedWithoutFollowingLinks) {
    armTarget();
    opens.clear();
    marked.clear();
    systemCalls.createFile = recordOpen;
    systemCalls.setFileInformation = recordMark;
    cleanupOnExit();
    // app.dll, data, nested, file.txt and the directory itself.
    EXPECT_EQ(marked.size(), 5u);
    for (const HANDLE handle : marked) {
        const auto open = std::find_if(opens.begin(), opens.end(),
                                       [handle](const Open& o) { return o.handle == handle; });
        ASSERT_NE(open, opens.end());
        EXPECT_EQ(open->flags, DWORD{FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS});
        EXPECT_EQ(open->share & FILE_SHARE_DELETE, 0u);
    }
}

// A directory this process did not create is never deleted, whatever is
// in targetDirectory: the flag goes up only in createRunDirectory.
TEST_F(Cleanup, ADirectoryThisProcessDidNotCreateIsNeverDeleted) {
    const std::wstring target = scratch_ / L"not-ours";
    writeFile(target + L"\\file.txt", "someone else's");
    wcscpy_s(targetDirectory, kTargetDirectoryCapacity, target.c_str());
    cleanupOnExit();
    EXPECT_EQ(readFile(target + L"\\file.txt"), "someone else's");
    EXPECT_EQ(rootListings.load(), 0);
}

BOOL WINAPI refusingCreateDirectory(LPCWSTR, LPSECURITY_ATTRIBUTES) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// A run directory that cannot be made for another reason is not this
// process's: whatever comes to stand there later is never deleted (the
// unpacking reports the first file it cannot create).
TEST_F(Cleanup, ARunDirectoryThatCouldNotBeMadeIsNeverDeleted) {
    const std::wstring target = scratch_ / L"refused";
    wcscpy_s(targetDirectory, kTargetDirectoryCapacity, target.c_str());
    systemCalls.createDirectory = refusingCreateDirectory;
    createRunDirectory();
    EXPECT_EQ(cleanupFlag.load(), 0);
    writeFile(target + L"\\file.txt", "someone else's");
    cleanupOnExit();
    EXPECT_EQ(readFile(target + L"\\file.txt"), "someone else's");
}

TEST_F(Cleanup, AnExistingRunDirectoryEndsTheRunBeforeAnythingIsWrittenOrDeleted) {
    const std::wstring target = scratch_ / L"planted";
    writeFile(target + L"\\file.txt", "planted");
    wcscpy_s(targetDirectory, kTargetDirectoryCapacity, target.c_str());
    // The death test runs in a process with a scratch directory of its own.
    EXPECT_EXIT(createRunDirectory(), ::testing::ExitedWithCode(2),
                ::testing::AllOf(::testing::StartsWith("Error, target directory 'C:\\"),
                                 ::testing::HasSubstr("\\planted' already exists.")));
    EXPECT_EQ(readFile(target + L"\\file.txt"), "planted");
}

// Runs the handler's work for event; returns the exit code it would end
// the process with.
DWORD stopForEvent(DWORD event) {
    DWORD exitCode = 0;
    EXPECT_TRUE(stopRunForConsoleEvent(event, &exitCode)) << event;
    return exitCode;
}

// The child runs when the stop begins and ends 1 s later by itself, well
// within the 5 s grace: its start-up is not part of that second.
TEST_F(Cleanup, AChildThatEndsWithinTheGraceIsNotTerminatedAndItsCodeIsTheRuns) {
    const std::wstring target = armTarget();
    const ReadyEvent ready(L"ends-in-grace");
    const HANDLE child =
        startHelper(L"ready " + ready.name() + L" 1000 " + std::to_wstring(kOwnExitCode));
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(ready.await());
    watchedHandle = publishDuplicate(child);
    EXPECT_EQ(stopForEvent(CTRL_C_EVENT), kOwnExitCode);
    EXPECT_EQ(exitCodeOf(child), kOwnExitCode);
    EXPECT_EQ(watchedCloses.load(), 1);
    EXPECT_EQ(childProcess.load(), nullptr);
    EXPECT_FALSE(directoryExists(target));
    CloseHandle(child);
}

TEST_F(Cleanup, AChildThatIgnoresTheEventIsTerminatedAsInterruptedAfterFiveSeconds) {
    const std::wstring target = armTarget();
    const HANDLE child = startHelper(L"sleep 60000 " + std::to_wstring(kOwnExitCode));
    ASSERT_NE(child, nullptr);
    watchedHandle = publishDuplicate(child);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(stopForEvent(CTRL_BREAK_EVENT), 0xC000013Au);
    EXPECT_GE(millisecondsSince(start), 4900u);
    EXPECT_EQ(WaitForSingleObject(child, kReadyTimeoutMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(child), 0xC000013Au);
    EXPECT_EQ(watchedCloses.load(), 1);
    EXPECT_FALSE(directoryExists(target));
    CloseHandle(child);
}

// Without a handle to take: the code that the main thread read when the
// child ended, or the interruption's when no child has ended.
TEST_F(Cleanup, WithoutAChildHandleTheRunEndsWithThePublishedCodeOrAsInterrupted) {
    const std::wstring target = armTarget();
    EXPECT_EQ(stopForEvent(CTRL_C_EVENT), 0xC000013Au);
    EXPECT_FALSE(directoryExists(target));
    childExitCode.store(0xC0000005);
    EXPECT_EQ(stopForEvent(CTRL_CLOSE_EVENT), 0xC0000005u);
}

TEST_F(Cleanup, AFileHeldOpenElsewhereGetsTwentyRetriesThenIsLeftSilently) {
    const std::wstring target = armTarget();
    const ReadyEvent held(L"held");
    // The helper holds the file until this test ends it.
    const HANDLE holder = startHelper(L"hold " + held.name() + L" " + std::to_wstring(INFINITE) +
                                      L" " + target + L"\\app.dll");
    ASSERT_NE(holder, nullptr);
    ASSERT_TRUE(held.await());

    cleanupOnExit();
    EXPECT_EQ(rootListings.load(), 21);
    EXPECT_EQ(pauses, std::vector<DWORD>(20, 100));
    EXPECT_TRUE(directoryExists(target));
    EXPECT_EQ(listFiles(target), std::vector<std::wstring>{L"app.dll"});

    TerminateProcess(holder, 0);
    WaitForSingleObject(holder, INFINITE);
    CloseHandle(holder);
}

TEST_F(Cleanup, TheHandlerLeavesOtherEventsToTheNextHandlerAndTouchesNothing) {
    // Any finished process serves as the child here.
    const HANDLE child = startHelper(L"sleep 0 5");
    ASSERT_NE(child, nullptr);
    WaitForSingleObject(child, INFINITE);
    for (const DWORD event : {3ul, 4ul, 7ul, 0xFFFFFFFFul}) {
        const std::wstring target = armTarget(L"other" + std::to_wstring(event));
        const HANDLE duplicate = publishDuplicate(child);
        EXPECT_EQ(consoleControlHandler(event), FALSE) << event;
        DWORD exitCode = 0;
        EXPECT_FALSE(stopRunForConsoleEvent(event, &exitCode)) << event;
        EXPECT_EQ(childProcess.exchange(nullptr), duplicate) << event;
        EXPECT_TRUE(directoryExists(target)) << event;
        CloseHandle(duplicate);
    }
    EXPECT_EQ(rootListings.load(), 0);
    CloseHandle(child);
}

HANDLE deleteRetrying = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void WINAPI signalRetry(DWORD milliseconds) {
    SetEvent(deleteRetrying);
    Sleep(milliseconds);
}

// A stop that has begun owns the run's end: the main thread, giving up its
// run directory to start over (a cached copy that could not be placed),
// waits for that end instead, so that it makes nothing the stop would miss.
TEST(CleanupDeathTest, TheMainThreadDoesNotStartOverWhileAStopRuns) {
    // Fixed names: the death test's process ends without destructors.
    const std::wstring target = testing_support::systemTempDirectory() + L"\\corv-stop-owns";
    const std::wstring next = target + L"-next";
    testing_support::removeTree(target);
    testing_support::removeTree(next);
    EXPECT_EXIT(
        {
            wcscpy_s(targetDirectory, kTargetDirectoryCapacity, target.c_str());
            createRunDirectory();
            writeFile(target + L"\\app.dll", "dll");
            // Held without delete sharing, so that the stop's delete retries.
            CreateFileW((target + L"\\app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, 0, nullptr);
            systemCalls.sleep = signalRetry;
            std::thread([] { consoleControlHandler(CTRL_C_EVENT); }).detach();
            WaitForSingleObject(deleteRetrying, 20000);
            releaseRunDirectory();
            wcscpy_s(targetDirectory, kTargetDirectoryCapacity, next.c_str());
            createRunDirectory();
            fputs("started over\n", stderr);
        },
        ::testing::ExitedWithCode(static_cast<int>(0xC000013A)),
        ::testing::Not(::testing::HasSubstr("started over")));
    EXPECT_FALSE(directoryExists(next));
    testing_support::removeTree(target);
    testing_support::removeTree(next);
}

// The handler itself ends the process, with the child's exit code, once
// the directory is gone. A close event during a Ctrl+C's grace cuts it to
// its own: the child, which would end by itself 3 s after it is ready, is
// terminated about 1 s after the close. The close comes once the Ctrl+C's
// stop has taken the child.
TEST(CleanupDeathTest, TheHandlerEndsTheProcessWithTheChildsCodeAndALaterCloseShortensTheGrace) {
    // A fixed name: the death test's process ends without destructors.
    const std::wstring target = testing_support::systemTempDirectory() + L"\\corv-handler-ends";
    const auto armAndStart = [&target](const std::wstring& job) {
        testing_support::removeTree(target);
        wcscpy_s(targetDirectory, kTargetDirectoryCapacity, target.c_str());
        createRunDirectory();
        writeFile(target + L"\\app.dll", "dll");
        publishDuplicate(startHelper(job));
    };
    EXPECT_EXIT(
        {
            armAndStart(L"sleep 0 5");
            consoleControlHandler(CTRL_C_EVENT);
        },
        ::testing::ExitedWithCode(5), "");
    EXPECT_FALSE(directoryExists(target));
    EXPECT_EXIT(
        {
            const ReadyEvent ready(L"shortened");
            armAndStart(L"ready " + ready.name() + L" 3000 5");
            if (!ready.await()) {
                ExitProcess(99);
            }
            std::thread interrupt([] { consoleControlHandler(CTRL_C_EVENT); });
            if (!testing_support::pollUntil([] { return childProcess.load() == nullptr; },
                                            kReadyTimeoutMs)) {
                ExitProcess(98);
            }
            std::thread close([] { consoleControlHandler(CTRL_CLOSE_EVENT); });
            interrupt.join();
        },
        ::testing::ExitedWithCode(static_cast<int>(0xC000013A)), "");
    EXPECT_FALSE(directoryExists(target));
    testing_support::removeTree(target);
}

TEST_F(Cleanup, HandlerAndMainThreadRacingForTheHandleCloseItExactlyOnce) {
    const HANDLE child = startHelper(L"sleep 0 5");
    ASSERT_NE(child, nullptr);
    WaitForSingleObject(child, INFINITE);

    int handlerWon = 0;
    int mainWon = 0;
    for (int round = 0; round < 200; ++round) {
        watchedCloses = 0;
        watchedHandle = publishDuplicate(child);
        std::atomic<bool> ready{false};
        std::atomic<bool> go{false};
        std::thread handler([&ready, &go] {
            ready.store(true);
            while (!go.load()) {
            }
            stopForEvent(CTRL_C_EVENT);
        });
        while (!ready.load()) {
        }
        go.store(true);
        // A delay that grows with the round, so that either side gets there
        // first in some rounds.
        for (int spin = 0; spin < (round % 50) * 400; ++spin) {
            YieldProcessor();
        }
        // The main thread's end of a run: take the duplicate back if it is
        // still there, close it only then.
        const HANDLE back = childProcess.exchange(nullptr);
        const bool mainClosed = back != nullptr && CloseHandle(back) != 0;
        handler.join();

        // The value itself may be reused by then, so closes are counted
        // rather than the handle inspected afterwards.
        ASSERT_EQ(watchedCloses.load() + (back != nullptr ? 1 : 0), 1) << "round " << round;
        ASSERT_EQ(failedCloses.load(), 0) << "round " << round;
        ASSERT_TRUE(back == nullptr || mainClosed) << "round " << round;
        (back != nullptr ? mainWon : handlerWon) += 1;
    }
    // The original stays usable for the main thread's exit code.
    EXPECT_EQ(exitCodeOf(child), 5u);
    CloseHandle(child);
    printf("handler took the handle %d times, the main thread %d times\n", handlerWon, mainWon);
}

} // namespace
