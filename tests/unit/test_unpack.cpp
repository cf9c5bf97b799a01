// The entry loop in process: attached data from the writer goes straight
// into the reader, targetDirectory points into the temp directory, and the
// seams count directory calls and write chunks or make writes fail. The
// child's hand-over and the failures that need no seam are tested on
// packaged executables (tests/e2e/test_unpack_packaged.cpp).
#include <windows.h>
#include <stdio.h>

#include <io.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "launcher/cleanup.h"
#include "launcher/run_directory.h"
#include "launcher/state.h"
#include "launcher/unpack.h"
#include "launcher/unpack_workers.h"
#include "launcher/written_names.h"
#include "system/system_calls.h"
#include "payload/entry_names.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using namespace testing_support;
using ::testing::HasSubstr;

std::u16string utf16(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

// The reader reads its input in place, so the bytes must outlive it.
std::string attachedBytes;

void startReader(const std::vector<packer::Entry>& entries) {
    attachedBytes = packer::writeAttachedData(entries, kTestWriterOptions);
    const auto* const bytes = reinterpret_cast<const unsigned char*>(attachedBytes.data());
    createReader(bytes + attached::kHeaderSize, attachedBytes.size() - attached::kHeaderSize);
}

void setTargetDirectory(const std::wstring& path) {
    ASSERT_LT(path.size(), kTargetDirectoryCapacity);
    std::copy(path.begin(), path.end(), targetDirectory);
    targetDirectory[path.size()] = L'\0';
}

// Deterministic content: every byte value, no two files alike.
std::string patterned(std::size_t size, std::uint32_t seed) {
    return testing_support::pseudoRandomBytes(size, seed * 2654435761u + 1);
}

// The seams below run on the unpacking's worker threads, side by side.
std::mutex recorded;
std::vector<DWORD> writeSizes;
std::vector<std::wstring> directoryCalls;

BOOL WINAPI recordingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
    {
        const std::lock_guard<std::mutex> hold(recorded);
        writeSizes.push_back(size);
    }
    return WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI diskFullWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD written, LPOVERLAPPED) {
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

// Succeeds but takes one byte less than it was given.
BOOL WINAPI shortWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                           LPOVERLAPPED overlapped) {
    SetLastError(ERROR_SUCCESS);
    return WriteFile(file, data, size - 1, written, overlapped);
}

BOOL WINAPI recordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    directoryCalls.push_back(path);
    return CreateDirectoryW(path, attributes);
}

// Standard error as the death test saw it, without the carriage returns
// that text mode adds.
std::string withoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

::testing::Matcher<const std::string&> readsAs(const std::string& expected) {
    return ::testing::Truly(
        [expected](const std::string& text) { return withoutCarriageReturns(text) == expected; });
}

// "<message> ([Error <code>] <some system text>\n)\n"
::testing::Matcher<const std::string&> systemErrorLine(const std::string& message,
                                                       unsigned long code) {
    const std::string start = message + " ([Error " + std::to_string(code) + "] ";
    return ::testing::Truly([start](const std::string& raw) {
        const std::string text = withoutCarriageReturns(raw);
        return text.rfind(start, 0) == 0 && text.size() > start.size() + 3 &&
               text.find('\n') > start.size() && text.ends_with("\n)\n");
    });
}

class UnpackLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        writeSizes.clear();
        directoryCalls.clear();
        systemCalls.writeFile = recordingWriteFile;
        systemCalls.createDirectory = recordingCreateDirectory;
    }
    void TearDown() override {
        systemCalls = defaultSystemCalls();
        setUnpackWorkerCount(0);
    }
};

// A name of exactly the buffer's 1023 code units (plus terminator), in
// components short enough for the file system.
std::wstring nameOfLength(std::size_t length) {
    std::wstring name;
    while (name.size() + 100 < length) {
        name += std::wstring(99, L'n') + L"\\";
    }
    return name + std::wstring(length - name.size(), L'f');
}

TEST_F(UnpackLoop, EveryEntryLandsByteForByteInFullChunks) {
    ScratchDirectory scratch;
    const std::wstring target = scratch / L"target";
    const std::wstring deep = L"l1\\l2\\l3\\l4\\l5\\l6\\l7\\l8\\l9\\deep.bin";
    const std::wstring longest = nameOfLength(1023);
    const std::string big = patterned(3 * 32768 + 123, 2);
    startReader({{u"main.dll", patterned(1000, 1)},
                 {utf16(deep), big},
                 {u"empty.txt", ""},
                 {u"dup.txt", "the first, longer content"},
                 {utf16(longest), "x"},
                 {u"dup.txt", "second"}});
    setTargetDirectory(target);
    unpackAllEntries();

    EXPECT_EQ(listFiles(target),
              (std::vector<std::wstring>{L"dup.txt", L"empty.txt", deep, L"main.dll", longest}));
    EXPECT_EQ(readFile(target + L"\\main.dll"), patterned(1000, 1));
    EXPECT_EQ(readFile(target + L"\\" + deep), big);
    EXPECT_EQ(readFile(target + L"\\dup.txt"), "second");
    // The empty file takes no write at all. Files are written side by side,
    // so the chunks of different files come in any order.
    std::sort(writeSizes.begin(), writeSizes.end());
    EXPECT_EQ(writeSizes, (std::vector<DWORD>{1, 6, 25, 123, 1000, 32768, 32768, 32768}));
}

TEST_F(UnpackLoop, ThreeThousandFilesCostOneDirectoryCallPerDirectory) {
    ScratchDirectory scratch;
    const std::wstring target = scratch / L"t";
    std::vector<packer::Entry> entries;
    std::vector<std::wstring> names;
    std::set<std::wstring> directories{target};
    for (int index = 0; index < 3000; ++index) {
        const std::wstring top = L"d" + std::to_wstring(index % 40);
        const std::wstring directory = top + (index % 3 == 0 ? L"\\sub" : L"");
        directories.insert(target + L"\\" + top);
        directories.insert(target + L"\\" + directory);
        names.push_back(directory + L"\\f" + std::to_wstring(index));
        entries.push_back({utf16(names.back()), "content " + std::to_string(index)});
    }
    startReader(entries);
    setTargetDirectory(target);
    unpackAllEntries();

    std::sort(names.begin(), names.end());
    EXPECT_EQ(listFiles(target), names);
    // Each directory is asked for on the way up and created on the way back
    // at most: never once per file.
    EXPECT_EQ(std::set<std::wstring>(directoryCalls.begin(), directoryCalls.end()), directories);
    EXPECT_LE(directoryCalls.size(), 2 * directories.size());
}

std::vector<std::wstring> createdFiles;

HANDLE WINAPI recordingCreateFile(LPCWSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE model) {
    {
        const std::lock_guard<std::mutex> hold(recorded);
        createdFiles.push_back(path);
    }
    return CreateFileW(path, access, share, security, disposition, flags, model);
}

// Windows refuses a file path of 260 units or more unless it is in the
// extended-length form (long paths not switched on system-wide).
TEST_F(UnpackLoop, FilePathsFrom260UnitsOnAreCreatedInTheExtendedForm) {
    ScratchDirectory scratch;
    const std::wstring target = scratch / L"t";
    std::vector<packer::Entry> entries;
    std::vector<std::wstring> expected;
    for (const std::size_t length : {259u, 260u, 300u}) {
        // In two components, as a file system takes at most 255 per name.
        const std::wstring directory(100, static_cast<wchar_t>(L'a' + length % 7));
        const std::wstring name =
            directory + L"\\" + std::wstring(length - target.size() - 2 - directory.size(), L'f');
        entries.push_back({utf16(name), std::to_string(length)});
        expected.push_back((length < 260 ? L"" : L"\\\\?\\") + target + L"\\" + name);
    }
    createdFiles.clear();
    systemCalls.createFile = recordingCreateFile;
    startReader(entries);
    setTargetDirectory(target);
    unpackAllEntries();
    // Created side by side, in any order.
    EXPECT_THAT(createdFiles, ::testing::UnorderedElementsAreArray(expected));
    EXPECT_EQ(readFile(expected[2]), "300");
}

// Q: is no drive under Wine, so these paths pass the bound and then fail to
// open: the message shows exactly which path was built.
TEST_F(UnpackLoop, TheFullPathIsBoundedAt4095CodeUnits) {
    const std::wstring name = L"entry.bin";
    std::wstring target = L"Q:";
    const std::size_t targetLength = 4095 - 1 - name.size();
    while (target.size() < targetLength) {
        const std::size_t room = targetLength - target.size() - 1;
        target += L"\\" + std::wstring(room > 200 ? 150 : room, L'p');
    }
    ASSERT_EQ(target.size() + 1 + name.size(), 4095u);
    const std::string expected =
        "Error, failed to open '" + narrow(target + L"\\" + name) + "' for writing.\n";
    EXPECT_EXIT(
        {
            startReader({{utf16(name), "x"}});
            setTargetDirectory(target);
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2), readsAs(expected));
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            startReader({{u"x" + utf16(name), "x"}});
            setTargetDirectory(target);
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(3), ::testing::Not(HasSubstr("failed to open")));
}

TEST_F(UnpackLoop, FailedAndShortWritesEndWithTheUnpackMessage) {
    // A death test's process ends without running destructors, so the
    // directory it fills has a fixed name that this process removes.
    const std::wstring target = systemTempDirectory() + L"\\corv-unpack-write-failures";
    setTargetDirectory(target);
    EXPECT_EXIT(
        {
            systemCalls.writeFile = diskFullWriteFile;
            startReader({{u"main.dll", "data"}});
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2),
        systemErrorLine("Error, couldn't unpack file to target path.", ERROR_DISK_FULL));
    // The file that the first left would be in the second one's way.
    removeTree(target);
    EXPECT_EXIT(
        {
            systemCalls.writeFile = shortWriteFile;
            startReader({{u"main.dll", patterned(40000, 4)}});
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2),
        systemErrorLine("Error, couldn't unpack file to target path.", ERROR_WRITE_FAULT));
    removeTree(target);
}

// Runs the console handler on a thread of its own, as the system would,
// while the main thread is about to create the second file.
HANDLE WINAPI interruptBeforeTheSecondFile(LPCWSTR path, DWORD access, DWORD share,
                                           LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                           DWORD flags, HANDLE model) {
    if (std::wstring_view(path).ends_with(L"\\second.txt")) {
        std::thread handler([] { consoleControlHandler(CTRL_C_EVENT); });
        handler.join();
    }
    return CreateFileW(path, access, share, security, disposition, flags, model);
}

// With no child yet, the handler ends the run as interrupted.
TEST_F(UnpackLoop, TheHandlerFiringDuringUnpackingDeletesTheDirectoryAndEndsTheRun) {
    const std::wstring target = systemTempDirectory() + L"\\corv-unpack-interrupted";
    removeTree(target);
    setTargetDirectory(target);
    EXPECT_EXIT(
        {
            systemCalls.createFile = interruptBeforeTheSecondFile;
            createRunDirectory();
            startReader({{u"main.dll", "first"}, {u"second.txt", "second"}});
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(static_cast<int>(0xC000013A)), readsAs(""));
    EXPECT_FALSE(directoryExists(target));
    removeTree(target);
}

// ---- Worker threads ------------------------------------------------------
//
// The failure tests below run in death tests, each in a process of its own,
// so their seams' state starts fresh.

// A death test's process ends without running destructors: its target has
// a fixed name under the temp directory, removed before and after.
std::wstring emptyFixedTarget(const std::wstring& name) {
    const std::wstring target = systemTempDirectory() + L"\\" + name;
    removeTree(target);
    setTargetDirectory(target);
    return target;
}

bool endsWith(LPCWSTR path, std::wstring_view name) {
    return std::wstring_view(path).ends_with(name);
}

HANDLE realCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE model) {
    return CreateFileW(path, access, share, security, disposition, flags, model);
}

// Generous: only a fault makes these waits end by their time.
constexpr DWORD kOrderTimeoutMs = 60000;

// Both print nothing themselves; a line on standard error would show in the
// death test's output.
HANDLE laterFailed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE slowFile = INVALID_HANDLE_VALUE;

// slow.bin fails to open only after later.bin (handed over after it) has
// failed on another worker and that worker has kept its failure.
HANDLE WINAPI laterFailsFirst(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE model) {
    if (endsWith(path, L"\\later.bin")) {
        SetEvent(laterFailed);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (endsWith(path, L"\\slow.bin")) {
        if (WaitForSingleObject(laterFailed, kOrderTimeoutMs) != WAIT_OBJECT_0 ||
            !pollUntil(unpackWorkersFailed, kOrderTimeoutMs)) {
            fputs("later.bin's failure was never kept while slow.bin was in flight\n", stderr);
        }
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return realCreateFile(path, access, share, security, disposition, flags, model);
}

// slow.bin's first write fails a while after last.txt was handed over, so
// that the main thread has most likely failed on the refused name that
// follows by then. Nothing outside the launcher shows when it has; the other
// order must give the same message, so the pause only makes the harder
// order the usual one.
HANDLE WINAPI rememberSlowFile(LPCWSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE model) {
    const HANDLE file = realCreateFile(path, access, share, security, disposition, flags, model);
    if (endsWith(path, L"\\slow.bin")) {
        slowFile = file;
    } else if (endsWith(path, L"\\last.txt")) {
        SetEvent(laterFailed);
    }
    return file;
}

BOOL WINAPI slowFileFailsLate(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                              LPOVERLAPPED overlapped) {
    if (file == slowFile) {
        WaitForSingleObject(laterFailed, kOrderTimeoutMs);
        Sleep(200);
        *written = 0;
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return WriteFile(file, data, size, written, overlapped);
}

std::vector<packer::Entry> entriesAround(const std::u16string& failing,
                                         const std::u16string& after) {
    std::vector<packer::Entry> entries{{u"main.dll", "main"}, {u"slow.bin", patterned(70000, 5)}};
    for (int index = 0; index < 6; ++index) {
        entries.push_back({u"in-flight\\" + utf16(std::to_wstring(index)), "x"});
    }
    entries.push_back({failing, "later"});
    entries.push_back({after, "after"});
    return entries;
}

// The message is the one that writing the entries one after the other
// would give: the first failure in stream order, whichever thread fails
// first. Standard output joins standard error, so that any second message
// would show.
TEST_F(UnpackLoop, OnlyTheFirstFailureInStreamOrderIsReported) {
    const std::wstring target = emptyFixedTarget(L"corv-unpack-first-failure");
    const std::string openFailure =
        "Error, failed to open '" + narrow(target) + "\\slow.bin' for writing.\n";
    EXPECT_EXIT(
        {
            _dup2(_fileno(stderr), _fileno(stdout));
            systemCalls.createFile = laterFailsFirst;
            setUnpackWorkerCount(4);
            createRunDirectory();
            startReader(entriesAround(u"later.bin", u"after.txt"));
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2), readsAs(openFailure));
    EXPECT_FALSE(directoryExists(target));
    EXPECT_EXIT(
        {
            _dup2(_fileno(stderr), _fileno(stdout));
            systemCalls.createFile = rememberSlowFile;
            systemCalls.writeFile = slowFileFailsLate;
            setUnpackWorkerCount(4);
            createRunDirectory();
            startReader(entriesAround(u"last.txt", u"..\\refused.txt"));
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2),
        systemErrorLine("Error, couldn't unpack file to target path.", ERROR_DISK_FULL));
    EXPECT_FALSE(directoryExists(target));
    removeTree(target);
}

// Slows every write down, so that a file is still being written when a
// later entry for the same file comes.
BOOL WINAPI slowWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                          LPOVERLAPPED overlapped) {
    Sleep(2);
    return WriteFile(file, data, size, written, overlapped);
}

std::atomic<int> threadsAllowed{0};
std::mutex writers;
std::set<DWORD> writingThreads;

HANDLE WINAPI allowSomeThreads(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                               LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                               LPDWORD id) {
    if (threadsAllowed-- <= 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return CreateThread(security, stack, start, parameter, flags, id);
}

// More data than the chunk pool holds streams through one worker in order;
// an entry for a file that an earlier entry still writes (the same name,
// in another case) waits for it and replaces it.
TEST_F(UnpackLoop, BigFilesAndRepeatedNamesLandAsWrittenInOrder) {
    ScratchDirectory scratch;
    const std::wstring target = scratch / L"t";
    const std::string big = patterned((32u << 20) + 7, 6);
    systemCalls.writeFile = slowWriteFile;
    startReader({{u"main.dll", "main"},
                 {u"d\\x.bin", patterned(300000, 7)},
                 {u"D\\X.BIN", "upper case"},
                 {u"big.bin", big}});
    setTargetDirectory(target);
    unpackAllEntries();

    EXPECT_EQ(listFiles(target), (std::vector<std::wstring>{L"big.bin", L"d\\X.BIN", L"main.dll"}));
    // Compared without printing megabytes on a mismatch.
    EXPECT_TRUE(readFile(target + L"\\big.bin") == big);
    EXPECT_TRUE(readFile(target + L"\\d\\x.bin") == "upper case");
}

// An entry named as the short name of an earlier entry's file, still
// being written or long closed, on worker threads or on this one: the
// package is damaged, and the earlier file keeps its content.
TEST_F(UnpackLoop, AnEntryNamedAsAnEarlierFilesShortNameIsDamage) {
    const std::wstring target = systemTempDirectory() + L"\\corv-unpack-short-names";
    removeTree(target);
    const std::wstring longName = L"a-rather-long-file-name.txt";
    const std::wstring shortName = shortNameOf(systemTempDirectory(), longName);
    DeleteFileW((systemTempDirectory() + L"\\" + longName).c_str());
    ASSERT_NE(shortName, longName) << "no short names on this drive";
    const std::vector<packer::Entry> entries{{u"main.dll", "main"},
                                             {utf16(longName), patterned(300000, 8)},
                                             {u"x.txt", "x"},
                                             {utf16(shortName), "short name"}};
    setTargetDirectory(target);
    for (const int allowed : {8, 0}) {
        SCOPED_TRACE(allowed);
        EXPECT_EXIT(
            {
                _dup2(_fileno(stderr), _fileno(stdout));
                systemCalls.writeFile = slowWriteFile;
                threadsAllowed = allowed;
                systemCalls.createThread = allowSomeThreads;
                startReader(entries);
                unpackAllEntries();
            },
            ::testing::ExitedWithCode(2), readsAs("Error, couldn't decode attached data.\n"));
        EXPECT_TRUE(readFile(target + L"\\" + longName) == entries[1].data);
        removeTree(target);
    }
}

HANDLE WINAPI recordingWritingThread(LPCWSTR path, DWORD access, DWORD share,
                                     LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                     HANDLE model) {
    {
        const std::lock_guard<std::mutex> hold(writers);
        writingThreads.insert(GetCurrentThreadId());
    }
    return realCreateFile(path, access, share, security, disposition, flags, model);
}

// A system that refuses threads gets every file written by the main
// thread; one that gives fewer than asked gets them from those it gave.
TEST_F(UnpackLoop, WithFewerThreadsThanAskedTheSameFilesAreWritten) {
    const std::vector<packer::Entry> entries{
        {u"main.dll", "main"}, {u"a\\b.bin", patterned(100000, 9)}, {u"c.txt", "c"}};
    systemCalls.createThread = allowSomeThreads;
    systemCalls.createFile = recordingWritingThread;
    setUnpackWorkerCount(3);
    for (const int allowed : {0, 1}) {
        SCOPED_TRACE(allowed);
        ScratchDirectory scratch;
        threadsAllowed = allowed;
        writingThreads.clear();
        startReader(entries);
        setTargetDirectory(scratch / L"t");
        unpackAllEntries();
        EXPECT_EQ(readFile(scratch / L"t\\a\\b.bin"), entries[1].data);
        EXPECT_EQ(listFiles(scratch / L"t").size(), 3u);
        EXPECT_EQ(writingThreads.size(), 1u);
        EXPECT_EQ(writingThreads.count(GetCurrentThreadId()), allowed == 0 ? 1u : 0u);
    }
}

HANDLE WINAPI refuseBadFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                            DWORD disposition, DWORD flags, HANDLE model) {
    if (endsWith(path, L"\\bad.bin")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return realCreateFile(path, access, share, security, disposition, flags, model);
}

// A cached copy's unpacking gets its failure back (to fall back to a run
// directory) instead of an ending, after the files before it are complete;
// the next unpacking in the process starts afresh.
TEST_F(UnpackLoop, AFailureThatIsReportedComesBackAndTheNextUnpackingStartsAfresh) {
    ScratchDirectory scratch;
    std::vector<packer::Entry> entries{
        {u"main.dll", "main"}, {u"big.bin", patterned(300000, 3)}, {u"bad.bin", "refused"}};
    for (int index = 0; index < 40; ++index) {
        entries.push_back({u"after\\" + utf16(std::to_wstring(index)), patterned(40000, 4)});
    }
    systemCalls.createFile = refuseBadFile;
    setUnpackWorkerCount(2);
    startReader(entries);
    setTargetDirectory(scratch / L"first");
    EXPECT_FALSE(unpackAllEntries(WriteFailures::returnFalse));
    releaseReader();
    EXPECT_EQ(readFile(scratch / L"first\\big.bin"), entries[1].data);
    EXPECT_FALSE(fileExists(scratch / L"first\\bad.bin"));

    systemCalls.createFile = realCreateFile;
    entries[2].data = "accepted";
    startReader(entries);
    setTargetDirectory(scratch / L"second");
    EXPECT_TRUE(unpackAllEntries(WriteFailures::returnFalse));
    EXPECT_EQ(listFiles(scratch / L"second").size(), entries.size());
    EXPECT_EQ(readFile(scratch / L"second\\after\\39"), entries.back().data);
}

// Fires the console handler on a thread of its own in the middle of
// big.bin and goes on writing slowly: without the workers giving their
// files up, the handler's delete would find big.bin held open for longer
// than its retries last. The run ends as interrupted, with no message for
// the files that the stop cut short.
BOOL WINAPI interruptInTheMiddleOfAFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                                        LPOVERLAPPED overlapped) {
    static std::atomic<int> writes{0};
    if (++writes == 10) {
        std::thread([] { consoleControlHandler(CTRL_C_EVENT); }).detach();
    }
    Sleep(10);
    return WriteFile(file, data, size, written, overlapped);
}

TEST_F(UnpackLoop, TheHandlerFiringInTheMiddleOfAFileStopsTheWorkersAndDeletes) {
    const std::wstring target = emptyFixedTarget(L"corv-unpack-interrupted-file");
    EXPECT_EXIT(
        {
            systemCalls.writeFile = interruptInTheMiddleOfAFile;
            createRunDirectory();
            startReader({{u"main.dll", "main"},
                         {u"big.bin", patterned(16u << 20, 10)},
                         {u"after.txt", "after"}});
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(static_cast<int>(0xC000013A)), readsAs(""));
    EXPECT_FALSE(directoryExists(target));
    removeTree(target);
}

// Keys that share their low bits and a set grown many times over: every
// key recorded is known again, and no other; a key of 0 is kept too.
TEST(WrittenNames, EveryRecordedKeyIsKnownAfterGrowing) {
    forgetWrittenNames();
    constexpr std::uint64_t kCount = 5000;
    for (std::uint64_t index = 1; index <= kCount; ++index) {
        ASSERT_FALSE(recordWrittenName(index << 40)) << index;
    }
    for (std::uint64_t index = 1; index <= kCount; ++index) {
        ASSERT_TRUE(recordWrittenName(index << 40)) << index;
    }
    EXPECT_FALSE(recordWrittenName(0));
    EXPECT_TRUE(recordWrittenName(0));
    EXPECT_FALSE(recordWrittenName(kCount + 1));
    forgetWrittenNames();
    EXPECT_FALSE(recordWrittenName(std::uint64_t{1} << 40));
    forgetWrittenNames();
}

TEST(EntryNames, OnlyRelativeNamesBelowTheTargetAreSafe) {
    for (const wchar_t* name : {L"main.dll", L"certifi\\cacert.pem", L"..hidden", L"x\\.y\\z"}) {
        EXPECT_TRUE(isSafeEntryName(name)) << narrow(name);
    }
    for (const wchar_t* name :
         {L"",    L"..",        L".",           L"..\\x",  L"a\\..\\..\\x", L"a\\..",
          L"./x", L"a/../x",    L"a\\.\\b",     L"\\x",    L"/x",           L"\\\\server\\share\\x",
          L"C:x", L"C:\\x",     L"a\\b:stream", L"a\\\\b", L"a//b",         L"a\\",
          L"a/",  L"a/b/c.txt", L"...",         L"a.\\b.."}) {
        EXPECT_FALSE(isSafeEntryName(name)) << narrow(name);
    }
    EXPECT_FALSE(isSafeEntryName(nullptr));
}

} // namespace
