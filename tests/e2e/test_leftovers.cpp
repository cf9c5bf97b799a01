// Nothing left behind, even after a kill: real launchers under Wine, killed
// with TerminateProcess as Task Manager or a job's time-out ends them, and
// the sweep that a later start makes of what killed runs left. All runs of
// a test share one temp directory, as a user's packaged applications do.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using ::testing::IsEmpty;
using namespace testing_support;

constexpr DWORD kAppearMs = 60000;
constexpr DWORD kKilledExitCode = 0xDEAD0001;
// Generous: Wine ends a job's processes within milliseconds.
constexpr DWORD kEndsWithParentMs = 30000;

// Set for the runs whose application starts this test program as a process
// of its own (testapp "start"): the copy writes its process id to the file
// that the variable names, then lives for a minute unless ended sooner.
constexpr wchar_t kLinger[] = L"CORVELLINTH_TEST_LINGER_MARK";
constexpr DWORD kLingerMs = 60000;

bool lingerIfAsked() {
    wchar_t mark[4096];
    const DWORD length = GetEnvironmentVariableW(kLinger, mark, 4096);
    if (length == 0 || length >= 4096) {
        return false;
    }
    const std::wstring part = std::wstring(mark) + L".part";
    writeFile(part, std::to_string(GetCurrentProcessId()));
    MoveFileExW(part.c_str(), mark, 0);
    Sleep(kLingerMs);
    ExitProcess(0);
}

const bool lingering = lingerIfAsked();

std::wstring testProgram() {
    wchar_t path[4096];
    const DWORD length = GetModuleFileNameW(nullptr, path, 4096);
    return std::wstring(path, length);
}

int countLines(const std::string& output, const std::string& prefix) {
    std::istringstream lines(output);
    int count = 0;
    for (std::string line; std::getline(lines, line);) {
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return count;
}

bool runGuardExists(const std::wstring& runName) {
    const HANDLE guard =
        OpenMutexW(SYNCHRONIZE, FALSE, (L"Local\\CorvellinthOnefile_" + runName).c_str());
    if (guard == nullptr) {
        return GetLastError() != ERROR_FILE_NOT_FOUND;
    }
    CloseHandle(guard);
    return true;
}

FILETIME now() {
    FILETIME time;
    GetSystemTimeAsFileTime(&time);
    return time;
}

std::wstring decimal(const FILETIME& time) {
    return std::to_wstring((static_cast<unsigned long long>(time.dwHighDateTime) << 32) |
                           time.dwLowDateTime);
}

class Leftovers : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        suite_ = std::make_unique<ScratchDirectory>(L"left-exe");
        const packer::Entry main = fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll");
        app_ = makePackagedExecutable(
            *suite_ / L"app.exe",
            {main, {u"data\\hello.txt", "hello"}, {u"data\\deep\\more.txt", "more"}});
        other_ = makePackagedExecutable(*suite_ / L"other.exe", {main, {u"other.txt", "other"}});
    }
    static void TearDownTestSuite() { suite_.reset(); }

    void SetUp() override {
        ASSERT_FALSE(lingering);
        CreateDirectoryW(temp_.c_str(), nullptr);
    }

    RunOptions privateOptions() const { return privateTempOptions(temp_); }
    // Another packaged application started after the fact: its sweep is what
    // removes the directories of runs that are over.
    void startAnotherApplication() const {
        const ProcessResult result = runProcess(other_, {L"exit", L"0"}, privateOptions());
        EXPECT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
    }
    std::wstring runs() const { return temp_ + L"\\CorvellinthOnefile"; }
    std::vector<std::wstring> left() const { return namesIn(runs()); }

    static inline std::unique_ptr<ScratchDirectory> suite_;
    static inline std::wstring app_;
    static inline std::wstring other_;
    ScratchDirectory scratch_{L"left"};
    std::wstring temp_ = scratch_ / L"temp";
};

// The application also starts a process of its own, which is none of the
// launcher's business and lives on. (tests/faults/kill.sh kills the
// parent's Wine process with kill -9, also while it unpacks.)
TEST_F(Leftovers, AKilledParentTakesTheApplicationAlongAndTheNextStartRemovesItsDirectory) {
    const std::wstring childMark = scratch_ / L"child";
    const std::wstring ownMark = scratch_ / L"own";
    RunOptions options = privateOptions();
    options.environment[kLinger] = ownMark;
    const MarkedRun marked =
        startMarked(app_, {L"start", testProgram(), L"--", L"mark", childMark, L"sleep", L"60000"},
                    options, childMark, kAppearMs);
    ASSERT_NE(marked.markedId, 0u) << marked.why();
    BackgroundProcess& run = *marked.process;
    const HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, marked.markedId);
    ASSERT_NE(child, nullptr);
    const HANDLE own =
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, awaitMark(ownMark, run, kAppearMs));
    ASSERT_NE(own, nullptr);
    ASSERT_EQ(left().size(), 1u);

    ASSERT_TRUE(run.terminate(kKilledExitCode));
    EXPECT_EQ(WaitForSingleObject(child, kEndsWithParentMs), WAIT_OBJECT_0)
        << "the application outlived its killed launcher";
    CloseHandle(child);
    EXPECT_EQ(WaitForSingleObject(own, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(own, 0);
    CloseHandle(own);
    EXPECT_EQ(run.finish().exitCode, kKilledExitCode);

    EXPECT_EQ(left().size(), 1u);
    startAnotherApplication();
    EXPECT_THAT(left(), IsEmpty());
}

// Every run that is not killed lists its files at its very end: its
// directory was whole all along, whatever the sweeps of the others did.
TEST_F(Leftovers, SixteenRunsAtOnceSomeKilledLeaveNothingOnceAllAreDone) {
    constexpr int kRuns = 16;
    std::minstd_rand random(14);
    std::vector<std::unique_ptr<BackgroundProcess>> launched;
    std::vector<std::pair<DWORD, int>> kills; // (after ms, run)
    for (int index = 0; index < kRuns; ++index) {
        const std::wstring sleep = std::to_wstring(300 + random() % 2700);
        launched.push_back(std::make_unique<BackgroundProcess>(
            app_, std::vector<std::wstring>{L"sleep", sleep, L"hashes"}, privateOptions()));
        if (index % 3 == 1) {
            kills.emplace_back(static_cast<DWORD>(random() % 3000), index);
        }
    }
    std::sort(kills.begin(), kills.end());
    const ULONGLONG start = GetTickCount64();
    for (const auto& [afterMs, index] : kills) {
        const ULONGLONG elapsed = GetTickCount64() - start;
        Sleep(elapsed < afterMs ? static_cast<DWORD>(afterMs - elapsed) : 0);
        launched[static_cast<size_t>(index)]->terminate(kKilledExitCode);
    }
    int survivors = 0;
    int refused = 0;
    for (const auto& run : launched) {
        const ProcessResult result = run->finish();
        if (result.exitCode == kKilledExitCode) {
            continue;
        }
        if (isWineLaunchRefusal(result)) { // Wine's failure, not the sweeps'
            ++refused;
            continue;
        }
        ++survivors;
        EXPECT_EQ(result.exitCode, 0u) << result.standardError;
        EXPECT_EQ(countLines(result.standardOutput, "hash "), 3) << result.standardOutput;
        EXPECT_EQ(countLines(result.standardOutput, "hash main.dll unreadable"), 0);
    }
    EXPECT_GE(survivors + refused, kRuns - static_cast<int>(kills.size()));
    EXPECT_LT(refused, kRuns / 2);

    // All are done once no process holds a run's guard any more: a killed
    // run's application ends with its launcher.
    EXPECT_TRUE(pollUntil(
        [&] {
            const std::vector<std::wstring> names = left();
            return std::none_of(names.begin(), names.end(), runGuardExists);
        },
        kEndsWithParentMs));
    startAnotherApplication();
    EXPECT_THAT(left(), IsEmpty());
}

// Beside a live run of another application: directories of runs that are
// over (an id that names no process, an id reused by a later process) go;
// everything else stays, including a guarded run whose process is gone,
// which goes at the first start after its guard. The live run took an
// inherited start time older than itself, so only its guard tells that it
// is not over.
TEST_F(Leftovers, OnlyDirectoriesOfRunsThatAreOverAreSwept) {
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    const std::vector<std::wstring> over = {L"onefile_4000000_1", L"onefile_" + self + L"_1"};
    // Its guard's name is seen by every process: another run of this test
    // (against the other launcher, at the same time) must not hold it.
    const std::wstring guarded = L"onefile_4000004_" + self;
    std::vector<std::wstring> kept = {L"onefile_" + self + L"_" + decimal(now()),
                                      L"onefile_4000020_1.old",
                                      L"onefile_4000020",
                                      L"onefile_04000020_1",
                                      L"ONEFILE_4000020_1",
                                      L"onefile_4000020_1_2",
                                      L"onefile_+4000020_1",
                                      L"onefile_99999999999_1"};
    std::vector<std::wstring> planted = over;
    planted.insert(planted.end(), kept.begin(), kept.end());
    planted.push_back(guarded);
    for (const std::wstring& name : planted) {
        writeFile(runs() + L"\\" + name + L"\\x.txt", "x");
    }
    const HANDLE guard =
        CreateMutexW(nullptr, FALSE, (L"Local\\CorvellinthOnefile_" + guarded).c_str());
    ASSERT_NE(guard, nullptr);
    // The links are made before any launcher runs: Wine's handles to pipes
    // can get mixed up when a Linux program starts while another thread
    // makes or closes pipes.
    const std::wstring outside = scratch_ / L"outside";
    writeFile(outside + L"\\dir\\keep.txt", "keep");
    writeFile(outside + L"\\file.txt", "file");
    writeFile(runs() + L"\\onefile_4000008_1", "a file named like a run");
    ASSERT_TRUE(makeLinuxSymlink(runs() + L"\\onefile_4000012_1", outside + L"\\dir"));
    ASSERT_TRUE(makeLinuxSymlink(runs() + L"\\onefile_4000016_1", outside + L"\\file.txt"));
    kept.insert(kept.end(), {L"onefile_4000008_1", L"onefile_4000012_1", L"onefile_4000016_1"});

    const std::wstring running = scratch_ / L"running";
    const std::wstring go = scratch_ / L"go";
    RunOptions inheritedStart = privateOptions();
    inheritedStart.environment[L"TAMBRO_ONEFILE_START"] = L"1";
    const MarkedRun marked = startMarked(app_, {L"mark", running, L"await", go, L"hashes"},
                                         inheritedStart, running, kAppearMs);
    ASSERT_NE(marked.markedId, 0u) << marked.why();
    BackgroundProcess& live = *marked.process;
    const std::wstring liveRun = L"onefile_" + std::to_wstring(live.processId()) + L"_1";
    startAnotherApplication();
    std::vector<std::wstring> expected = kept;
    expected.push_back(liveRun);
    expected.push_back(guarded);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left(), expected);
    EXPECT_EQ(readFile(outside + L"\\dir\\keep.txt"), "keep");
    EXPECT_EQ(readFile(outside + L"\\file.txt"), "file");

    CloseHandle(guard);
    writeFile(go, "");
    const ProcessResult result = live.finish();
    EXPECT_EQ(result.exitCode, 0u) << result.standardError;
    EXPECT_EQ(countLines(result.standardOutput, "hash "), 3) << result.standardOutput;
    startAnotherApplication();
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left(), kept);
    EXPECT_EQ(readFile(outside + L"\\dir\\keep.txt"), "keep");
    EXPECT_EQ(readFile(outside + L"\\file.txt"), "file");
    for (const wchar_t* link : {L"\\onefile_4000012_1", L"\\onefile_4000016_1"}) {
        runLinuxProgram("/bin/rm", {linuxPath(runs() + link)});
    }
}

// A run of another machine or container that shares the temp directory
// looks over from here: its process id names no process here and it has
// no guard here. Its parent holds the directory open without sharing
// delete access (a file server honours that for all its clients, Wine for
// the processes of one server), and the sweep leaves the directory and
// every file in it alone. Once let go, the next start removes it.
TEST_F(Leftovers, ARunDirectoryHeldOpenElsewhereIsNotSwept) {
    const std::wstring remote = runs() + L"\\onefile_4000024_1";
    writeFile(remote + L"\\data\\x.txt", "x");
    const HANDLE held = CreateFileW(remote.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    startAnotherApplication();
    EXPECT_EQ(readFile(remote + L"\\data\\x.txt"), "x");

    CloseHandle(held);
    startAnotherApplication();
    EXPECT_THAT(left(), IsEmpty());
}

// A live run's own directory is held that way by its parent and its child,
// so the sweep's open for deletion fails while it runs.
TEST_F(Leftovers, ALiveRunHoldsItsDirectoryAgainstDeletion) {
    const std::wstring running = scratch_ / L"running";
    const std::wstring go = scratch_ / L"go";
    const MarkedRun marked =
        startMarked(app_, {L"mark", running, L"await", go}, privateOptions(), running, kAppearMs);
    ASSERT_NE(marked.markedId, 0u) << marked.why();
    const std::vector<std::wstring> live = left();
    ASSERT_EQ(live.size(), 1u);
    const HANDLE probe = CreateFileW((runs() + L"\\" + live[0]).c_str(), DELETE | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const DWORD error = GetLastError();
    if (probe != INVALID_HANDLE_VALUE) {
        CloseHandle(probe);
    }
    writeFile(go, "");
    EXPECT_EQ(marked.process->finish().exitCode, 0u);
    EXPECT_EQ(probe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_THAT(left(), IsEmpty());
}

// A file in the directory of a run that is over that is a read-only hard
// link to a file elsewhere: its attribute belongs to that file too, so the
// sweep neither clears it nor deletes the link, and the directory stays.
TEST_F(Leftovers, AReadOnlyHardLinkInARunThatIsOverKeepsItsAttribute) {
    const std::wstring precious = scratch_ / L"precious.txt";
    writeFile(precious, "keep");
    ASSERT_TRUE(SetFileAttributesW(precious.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::wstring over = runs() + L"\\onefile_4000028_1";
    writeFile(over + L"\\x.txt", "x");
    ASSERT_TRUE(CreateHardLinkW((over + L"\\link.txt").c_str(), precious.c_str(), nullptr));
    startAnotherApplication();
    const DWORD attributes = GetFileAttributesW(precious.c_str());
    SetFileAttributesW(precious.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_NE(attributes & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(readFile(precious), "keep");
    EXPECT_TRUE(fileExists(over + L"\\link.txt"));
    EXPECT_FALSE(fileExists(over + L"\\x.txt"));
}

// A second start of the same application from inside it joins the running
// parent and runs from its directory. Outliving that parent, it keeps the
// main file loaded, so the parent cannot delete the directory; it stays for
// as long as the second start runs and goes at the first start after it.
TEST_F(Leftovers, ASecondStartThatOutlivesItsParentKeepsTheDirectoryUntilItEnds) {
    const std::wstring joined = scratch_ / L"joined";
    const std::wstring go = scratch_ / L"go";
    BackgroundProcess first(
        app_, {L"start", app_, L"mark", joined, L"await", go, L"--", L"await", joined},
        privateOptions());
    const HANDLE second = OpenProcess(SYNCHRONIZE, FALSE, awaitMark(joined, first, kAppearMs));
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(first.hasEnded(kAppearMs));
    EXPECT_EQ(WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    const std::vector<std::wstring> parentRun = left();
    EXPECT_EQ(parentRun.size(), 1u);

    startAnotherApplication();
    EXPECT_EQ(left(), parentRun);

    writeFile(go, "");
    EXPECT_EQ(WaitForSingleObject(second, kAppearMs), WAIT_OBJECT_0);
    CloseHandle(second);
    EXPECT_EQ(first.finish().exitCode, 0u);
    startAnotherApplication();
    EXPECT_THAT(left(), IsEmpty());
}

} // namespace
