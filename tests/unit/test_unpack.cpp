// The entry loop and the child's hand-over, in process: attached data from
// the writer goes straight into the reader, and targetDirectory points into
// the temp directory. Failures run as death tests; a death test runs in a
// fresh process, so the directories it must share with the test that checks
// them afterwards have fixed names.
#include <windows.h>
#include <io.h>
#include <stdio.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "launcher/state.h"
#include "launcher/unpack.h"
#include "paths/system_calls.h"
#include "payload/entry_names.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"
#include "tools/packer/attached_writer.h"

namespace {

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::u16string utf16(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

// The reader reads its input in place, so the bytes must outlive it.
std::string attachedBytes;

void startReaderOn(const std::string& attachedData) {
    attachedBytes = attachedData;
    const auto* const bytes = reinterpret_cast<const unsigned char*>(attachedBytes.data());
    createReader(bytes + attached::kHeaderSize, attachedBytes.size() - attached::kHeaderSize);
}

void startReader(const std::vector<packer::Entry>& entries,
                 const packer::WriterOptions& options = kTestWriterOptions) {
    startReaderOn(packer::writeAttachedData(entries, options));
}

void setTargetDirectory(const std::wstring& path) {
    ASSERT_LT(path.size(), kTargetDirectoryCapacity);
    std::copy(path.begin(), path.end(), targetDirectory);
    targetDirectory[path.size()] = L'\0';
}

// Deterministic content: every byte value, no two files alike.
std::string patterned(std::size_t size, std::uint32_t seed) {
    std::string data(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return data;
}

// A directory under the temp directory with the same name in a death test's
// process as in the test that started it; removed on both ends.
class FixedDirectory {
  public:
    explicit FixedDirectory(const std::wstring& name)
        : path_(systemTempDirectory() + L"\\corv-unpack-" + name) {
        removeTree(path_);
    }
    ~FixedDirectory() { removeTree(path_); }
    FixedDirectory(const FixedDirectory&) = delete;
    FixedDirectory& operator=(const FixedDirectory&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
};

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

// Death tests match standard error only; fatalError and the application
// write to standard output.
void sendStandardOutputToStandardError() {
    fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
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

TEST_F(UnpackLoop, EveryEntryLandsByteForByte) {
    ScratchDirectory scratch;
    const std::wstring target = scratch / L"target";
    const std::wstring deep = L"l1\\l2\\l3\\l4\\l5\\l6\\l7\\l8\\l9\\deep.bin";
    const std::string everyByte = patterned(1000, 1);
    startReader({{u"main.dll", everyByte},
                 {utf16(deep), patterned(70000, 2)},
                 {u"empty.txt", ""},
                 {u"dup.txt", "the first, longer content"},
                 {u"l1\\side.txt", "side"},
                 {u"dup.txt", "second"}});
    setTargetDirectory(target);
    unpackAllEntries();

    EXPECT_EQ(listFiles(target), (std::vector<std::wstring>{L"dup.txt", L"empty.txt", deep,
                                                            L"l1\\side.txt", L"main.dll"}));
    EXPECT_EQ(readFile(target + L"\\main.dll"), everyByte);
    EXPECT_EQ(readFile(target + L"\\" + deep), patterned(70000, 2));
    EXPECT_TRUE(fileExists(target + L"\\empty.txt"));
    EXPECT_EQ(readFile(target + L"\\empty.txt"), "");
    EXPECT_EQ(readFile(target + L"\\dup.txt"), "second");
    // The empty file needs no write at all; 70000 bytes take three chunks.
    EXPECT_EQ(writeSizes, (std::vector<DWORD>{1000, 32768, 32768, 4464, 25, 4, 6}));
}

TEST_F(UnpackLoop, ALargeFileGoesThroughInFullChunks) {
    ScratchDirectory scratch;
    const std::string big = patterned(3 * 1024 * 1024 + 123, 3);
    startReader({{u"main.dll", "m"}, {u"big\\data.bin", big}}, {1, 1, 21});
    setTargetDirectory(scratch.path());
    unpackAllEntries();

    EXPECT_EQ(readFile(scratch / L"big\\data.bin"), big);
    std::vector<DWORD> expected{1};
    expected.insert(expected.end(), 96, 32768);
    expected.push_back(123);
    EXPECT_EQ(writeSizes, expected);
}

TEST_F(UnpackLoop, ThreeThousandFilesCostOneDirectoryCallPerDirectory) {
    ScratchDirectory scratch;
    const std::wstring target = scratch / L"t";
    std::vector<packer::Entry> entries;
    std::set<std::wstring> directories{target};
    for (int index = 0; index < 3000; ++index) {
        const std::wstring directory =
            L"d" + std::to_wstring(index % 40) + (index % 3 == 0 ? L"\\sub" : L"");
        directories.insert(target + L"\\" + directory);
        directories.insert(target + L"\\d" + std::to_wstring(index % 40));
        entries.push_back({utf16(directory + L"\\f" + std::to_wstring(index) + L".txt"),
                           "content " + std::to_string(index)});
    }
    startReader(entries);
    setTargetDirectory(target);
    unpackAllEntries();

    std::vector<std::wstring> names;
    for (const auto& entry : entries) {
        names.emplace_back(entry.name.begin(), entry.name.end());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(listFiles(target), names);
    // Contents are checked in the other tests; a sample suffices here (every
    // file opened once more under Wine costs seconds).
    for (std::size_t index = 0; index < entries.size(); index += 97) {
        const std::wstring name(entries[index].name.begin(), entries[index].name.end());
        EXPECT_EQ(readFile(target + L"\\" + name), entries[index].data) << narrow(name);
    }
    // Each directory is asked for on the way up and created on the way back
    // at most: never once per file.
    EXPECT_EQ(std::set<std::wstring>(directoryCalls.begin(), directoryCalls.end()), directories);
    EXPECT_LE(directoryCalls.size(), 2 * directories.size());
}

TEST_F(UnpackLoop, AStreamWithOnlyTheEndMarkerWritesNothing) {
    ScratchDirectory scratch;
    const std::wstring target = scratch / L"never";
    startReader({});
    setTargetDirectory(target);
    unpackAllEntries();
    EXPECT_FALSE(directoryExists(target));
    EXPECT_TRUE(writeSizes.empty());
}

// 1023 code units and the terminator fill the name buffer exactly. The
// components stay short enough for the file system.
std::wstring nameOfLength(std::size_t length) {
    std::wstring name;
    while (name.size() + 100 < length) {
        name += std::wstring(99, L'n') + L"\\";
    }
    return name + std::wstring(length - name.size(), L'f');
}

TEST_F(UnpackLoop, ANameHoldsAtMost1023CodeUnits) {
    ScratchDirectory scratch;
    const std::wstring longest = nameOfLength(1023);
    ASSERT_EQ(longest.size(), 1023u);
    startReader({{utf16(longest), "fits"}});
    setTargetDirectory(scratch.path());
    unpackAllEntries();
    EXPECT_EQ(readFile(scratch / longest), "fits");

    std::string tooLong;
    packer::AttachedDataWriter writer(
        [&](const void* data, std::size_t size) {
            tooLong.append(static_cast<const char*>(data), size);
        },
        kTestWriterOptions);
    writer.beginEntryUnchecked(utf16(nameOfLength(1024)), 1);
    writer.addData("x", 1);
    writer.finish();
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            startReaderOn(tooLong);
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2), "^Error, couldn't decode attached data\\.\r?\n$");
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

TEST_F(UnpackLoop, AFileThatCannotBeCreatedIsReportedWithItsPath) {
    FixedDirectory target(L"blocked");
    EXPECT_EXIT(
        {
            CreateDirectoryW(target.path().c_str(), nullptr);
            CreateDirectoryW((target / L"blocked").c_str(), nullptr);
            startReader({{u"fine.txt", "fine"}, {u"blocked", "x"}});
            setTargetDirectory(target.path());
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2),
        readsAs("Error, failed to open '" + narrow(target / L"blocked") + "' for writing.\n"));
    // The failure leaves what was written in place.
    EXPECT_EQ(readFile(target / L"fine.txt"), "fine");
}

TEST_F(UnpackLoop, FailedAndShortWritesEndWithTheUnpackMessage) {
    ScratchDirectory scratch;
    setTargetDirectory(scratch.path());
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
}

TEST_F(UnpackLoop, AnUnsafeNameIsRefusedBeforeAnythingOfItIsWritten) {
    FixedDirectory scratch(L"unsafe");
    const std::wstring target = scratch / L"target";
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            CreateDirectoryW(scratch.path().c_str(), nullptr);
            startReader({{u"main.dll", "m"}, {u"sub\\..\\..\\escaped.txt", "x"}});
            setTargetDirectory(target);
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2), "^Error, couldn't decode attached data\\.\r?\n$");
    EXPECT_TRUE(fileExists(target + L"\\main.dll"));
    EXPECT_FALSE(directoryExists(target + L"\\sub"));
    EXPECT_FALSE(fileExists(scratch / L"escaped.txt"));
}

TEST_F(UnpackLoop, ADamagedStreamStopsMidFileAndLeavesTheDirectory) {
    FixedDirectory target(L"damaged");
    std::string data = packer::writeAttachedData(
        {{u"first.txt", "first"}, {u"big.bin", patterned(1 << 20, 5)}}, {1, 1, 21});
    data.resize(data.size() / 2);
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            startReaderOn(data);
            setTargetDirectory(target.path());
            unpackAllEntries();
        },
        ::testing::ExitedWithCode(2), "^Error, couldn't decode attached data\\.\r?\n$");
    EXPECT_EQ(readFile(target / L"first.txt"), "first");
    EXPECT_TRUE(fileExists(target / L"big.bin"));
    EXPECT_LT(readFile(target / L"big.bin").size(), std::size_t{1} << 20);
}

TEST(EntryNames, RelativeNamesBelowTheTargetAreSafe) {
    for (const wchar_t* name : {L"main.dll", L"certifi\\cacert.pem", L"a/b/c.txt", L"...",
                                L"..hidden", L"a.\\b..", L"x\\.y\\z"}) {
        EXPECT_TRUE(isSafeEntryName(name)) << narrow(name);
    }
}

TEST(EntryNames, NamesThatLeaveTheTargetOrNameADriveAreUnsafe) {
    for (const wchar_t* name :
         {L"", L"..", L".", L"..\\x", L"a\\..\\..\\x", L"a\\..", L"./x", L"a/../x", L"a\\.\\b",
          L"\\x", L"/x", L"\\\\server\\share\\x", L"C:x", L"C:\\x", L"a\\b:stream", L"a\\\\b",
          L"a//b", L"a\\", L"a/"}) {
        EXPECT_FALSE(isSafeEntryName(name)) << narrow(name);
    }
    EXPECT_FALSE(isSafeEntryName(nullptr));
}

// The child role: the first entry's file is already on disk, put there by
// the test; the child reads only its name.
class ChildStart : public ::testing::Test {
  protected:
    // run_code sees exactly these arguments.
    static void setArguments(std::vector<const wchar_t*> arguments) {
        static std::vector<wchar_t*> vector;
        vector.clear();
        for (const wchar_t* argument : arguments) {
            vector.push_back(const_cast<wchar_t*>(argument));
        }
        vector.push_back(nullptr);
        __argc = static_cast<int>(arguments.size());
        __wargv = vector.data();
    }

    static void copyBuildFile(const std::wstring& name, const std::wstring& destination) {
        writeFile(destination, readFile(binaryDirectory() + L"\\" + name));
    }
};

TEST_F(ChildStart, RunsTheFirstEntryWithTheProcessArguments) {
    FixedDirectory target(L"child-run");
    copyBuildFile(L"testapp.dll", target / L"main.dll");
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            startReader({{u"main.dll", "not read by the child"}, {u"other.txt", "x"}});
            setTargetDirectory(target.path());
            setArguments({L"launcher.exe", L"args", L"exit", L"0x2A"});
            exit(runApplicationFromFirstEntry());
        },
        ::testing::ExitedWithCode(42),
        ::testing::AllOf(HasSubstr("arg 1 0061007200670073"), HasSubstr("argc 4")));
    // The child writes nothing.
    EXPECT_EQ(listFiles(target.path()), std::vector<std::wstring>{L"main.dll"});
}

TEST_F(ChildStart, FindsDllsNextToTheMainFileAndInTheTargetDirectory) {
    FixedDirectory target(L"child-dependent");
    copyBuildFile(L"testapp_dependent.dll", target / L"main.dll");
    copyBuildFile(L"testapp_helper.dll", target / L"testapp_helper.dll");
    copyBuildFile(L"testapp_dependent.dll", target / L"app\\main.dll");
    copyBuildFile(L"testapp_dependent.dll", target / L"lonely\\main.dll");
    const auto runFirstEntry = [&](const char16_t* name, std::vector<const wchar_t*> arguments) {
        startReader({{name, ""}});
        setTargetDirectory(target.path());
        setArguments(arguments);
        exit(runApplicationFromFirstEntry());
    };
    // run_code returns 40 + argc from the helper.
    EXPECT_EXIT(runFirstEntry(u"main.dll", {L"a", L"b", L"c"}), ::testing::ExitedWithCode(43), "");
    EXPECT_EXIT(runFirstEntry(u"app\\main.dll", {L"a"}), ::testing::ExitedWithCode(41), "");

    // Without a helper in either place the load fails.
    FixedDirectory bare(L"child-bare");
    copyBuildFile(L"testapp_dependent.dll", bare / L"main.dll");
    EXPECT_EXIT(
        {
            startReader({{u"main.dll", ""}});
            setTargetDirectory(bare.path());
            runApplicationFromFirstEntry();
        },
        ::testing::ExitedWithCode(2), systemErrorLine("Error, load DLL.", ERROR_MOD_NOT_FOUND));
}

TEST_F(ChildStart, AFileThatIsNoDllIsALoadFailureWithTheSystemsText) {
    FixedDirectory target(L"child-text");
    writeFile(target / L"main.dll", "just text, no image");
    EXPECT_EXIT(
        {
            startReader({{u"main.dll", ""}});
            setTargetDirectory(target.path());
            runApplicationFromFirstEntry();
        },
        ::testing::ExitedWithCode(2), systemErrorLine("Error, load DLL.", ERROR_BAD_EXE_FORMAT));
}

TEST_F(ChildStart, ADllWithoutRunCodeIsReported) {
    FixedDirectory target(L"child-no-entry");
    copyBuildFile(L"testapp_no_entry.dll", target / L"main.dll");
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            startReader({{u"main.dll", ""}});
            setTargetDirectory(target.path());
            runApplicationFromFirstEntry();
        },
        ::testing::ExitedWithCode(2), "^Error, DLL entry point not found\\.\r?\n$");
}

TEST_F(ChildStart, NoEntriesOrAnUnsafeFirstNameEndTheChild) {
    ScratchDirectory scratch;
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            startReader({});
            setTargetDirectory(scratch.path());
            runApplicationFromFirstEntry();
        },
        ::testing::ExitedWithCode(2), "^Error, attached data holds no application\\.\r?\n$");
    writeFile(scratch / L"main.dll", readFile(binaryDirectory() + L"\\testapp.dll"));
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            startReader({{u"sub\\..\\main.dll", ""}});
            setTargetDirectory(scratch.path());
            runApplicationFromFirstEntry();
        },
        ::testing::ExitedWithCode(2), "^Error, couldn't decode attached data\\.\r?\n$");
}

} // namespace
