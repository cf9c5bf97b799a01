// The entry loop in process: attached data from the writer goes straight
// into the reader, targetDirectory points into the temp directory, and the
// seams count directory calls and write chunks or make writes fail. The
// child's hand-over and the failures that need no seam are tested on
// packaged executables (tests/e2e/test_unpack_packaged.cpp).
#include <windows.h>
#include <stdio.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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

std::vector<DWORD> writeSizes;
std::vector<std::wstring> directoryCalls;

BOOL WINAPI recordingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                               LPOVERLAPPED overlapped) {
    writeSizes.push_back(size);
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
    void TearDown() override { systemCalls = defaultSystemCalls(); }
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
    // The empty file takes no write at all.
    EXPECT_EQ(writeSizes, (std::vector<DWORD>{1000, 32768, 32768, 32768, 123, 25, 1, 6}));
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
    createdFiles.push_back(path);
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
    EXPECT_EQ(createdFiles, expected);
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
