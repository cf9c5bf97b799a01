// Unpacking and the child's hand-over in the packaged launcher under Wine:
// the application reports what it finds next to itself, and failures show
// up as the launcher's messages and exit codes.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using namespace testing_support;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string withoutCarriageReturns(std::string text) {
    std::erase(text, '\r');
    return text;
}

std::string fnv1a(const std::string& data) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char byte : data) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ull;
    }
    char text[17];
    snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// name -> "<size> <hash>", from the application's "hashes" lines.
std::map<std::string, std::string> reportedHashes(const std::string& output) {
    std::map<std::string, std::string> result;
    std::istringstream stream(withoutCarriageReturns(output));
    std::string line;
    while (std::getline(stream, line)) {
        if (line.rfind("hash ", 0) == 0) {
            const std::size_t nameEnd = line.find(' ', 5);
            result[line.substr(5, nameEnd - 5)] = line.substr(nameEnd + 1);
        }
    }
    return result;
}

std::u16string utf16Number(int value) {
    const std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
}

// Deterministic content: every byte value, no two files alike.
std::string patterned(std::size_t size, std::uint32_t seed) {
    return testing_support::pseudoRandomBytes(size, seed * 2654435761u + 1);
}

class Unpacking : public ::testing::Test {
  protected:
    ProcessResult runPackaged(const std::vector<packer::Entry>& entries,
                              const std::vector<std::wstring>& arguments) {
        const std::wstring exe = makePackagedExecutable(scratch_ / L"app.exe", entries);
        return runProcess(exe, arguments, cleanOptions());
    }

    static packer::Entry buildFile(const std::u16string& name, const std::wstring& file) {
        return fileEntry(name, binaryDirectory() + L"\\" + file);
    }

    ScratchDirectory scratch_{L"unpack"};
};

TEST_F(Unpacking, EveryEntryReachesTheApplicationByteForByte) {
    std::vector<packer::Entry> entries = {
        buildFile(u"main.dll", L"testapp.dll"),
        {u"l1\\l2\\l3\\l4\\l5\\l6\\l7\\l8\\l9\\deep.bin", patterned(5000, 1)},
        {u"empty.txt", ""},
        {u"twice.txt", "the earlier, longer version"},
        {u"large\\spans-many-windows.bin", patterned(2 * 1024 * 1024 + 7, 2)},
        {u"twice.txt", "the later one"},
    };
    for (int index = 0; index < 300; ++index) {
        entries.push_back({u"many\\d" + utf16Number(index % 12) + u"\\f" + utf16Number(index),
                           "small file " + std::to_string(index)});
    }
    std::map<std::string, std::string> expected;
    for (const auto& entry : entries) {
        expected[narrow(std::wstring(entry.name.begin(), entry.name.end()))] =
            std::to_string(entry.data.size()) + " " + fnv1a(entry.data);
    }

    const ProcessResult result = runPackaged(entries, {L"hashes", L"--", L"exit", L"5"});
    EXPECT_EQ(result.exitCode, 5u) << result.standardOutput << result.standardError;
    EXPECT_EQ(reportedHashes(result.standardOutput), expected);
    EXPECT_EQ(expected.at("twice.txt"), "13 " + fnv1a("the later one"));
}

TEST_F(Unpacking, TheMainDllsDependencyIsFoundNextToItOrInTheTargetDirectory) {
    const packer::Entry helper = buildFile(u"testapp_helper.dll", L"testapp_helper.dll");
    // The helper answers 40 + argc; argc counts the program name too.
    ProcessResult result =
        runPackaged({buildFile(u"main.dll", L"testapp_dependent.dll"), helper}, {L"1", L"2"});
    EXPECT_EQ(result.exitCode, 43u) << result.standardError;
    result = runPackaged({buildFile(u"app\\main.dll", L"testapp_dependent.dll"), helper}, {});
    EXPECT_EQ(result.exitCode, 41u) << result.standardError;

    // Nowhere else: the current directory (the test's bin) holds a helper.
    result = runPackaged({buildFile(u"main.dll", L"testapp_dependent.dll")}, {});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_THAT(result.standardError, StartsWith("Error, load DLL. ([Error 126] "));
}

TEST_F(Unpacking, AChildThatCannotRunTheApplicationEndsTheLauncherWithTwo) {
    ProcessResult result = runPackaged({}, {});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(withoutCarriageReturns(result.standardOutput),
              "Error, attached data holds no application.\n");

    result = runPackaged({{u"main.dll", "plain text, no image"}}, {});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_THAT(result.standardError, StartsWith("Error, load DLL. ([Error 193] "));

    result = runPackaged({buildFile(u"main.dll", L"testapp_no_entry.dll")}, {});
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(withoutCarriageReturns(result.standardOutput), "Error, DLL entry point not found.\n");
}

// The little-endian 32-bit value at offset of image, or 0 past its end.
std::uint32_t imageValue(const std::string& image, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t byte = 4; byte-- > 0;) {
        value =
            value << 8 |
            (offset + byte < image.size() ? static_cast<unsigned char>(image[offset + byte]) : 0u);
    }
    return value;
}

// dll with its export directory's list of names moved far outside the
// image: the DLL still loads, and looking up run_code reads unmapped memory
// inside the system's loader. Empty when dll has no export directory.
std::string withExportNamesOutsideTheImage(std::string dll) {
    constexpr std::size_t kExportDirectoryEntry = 112; // in the PE32+ optional header
    constexpr std::size_t kAddressOfNames = 0x20;      // in IMAGE_EXPORT_DIRECTORY
    constexpr std::uint32_t kFarOutside = 0x7FFF0000;
    const std::size_t header = imageValue(dll, 0x3C);
    const std::size_t sections = imageValue(dll, header + 6) & 0xFFFF;
    const std::size_t optionalHeader = header + 24;
    const std::size_t sectionTable = optionalHeader + (imageValue(dll, header + 20) & 0xFFFF);
    const std::uint32_t exports = imageValue(dll, optionalHeader + kExportDirectoryEntry);
    for (std::size_t index = 0; index < sections && exports != 0; ++index) {
        const std::size_t section = sectionTable + 40 * index;
        const std::uint32_t start = imageValue(dll, section + 12);
        if (exports < start || exports - start >= imageValue(dll, section + 8)) {
            continue;
        }
        const std::size_t names =
            imageValue(dll, section + 20) + (exports - start) + kAddressOfNames;
        if (names + 4 > dll.size()) {
            break;
        }
        for (std::size_t byte = 0; byte < 4; ++byte) {
            dll[names + byte] = static_cast<char>(kFarOutside >> (8 * byte));
        }
        return dll;
    }
    return {};
}

// Looking up run_code crashes in the system's loader, which holds its lock
// then: Wine's debugger could never attach, and the child would wait for it
// for ever. The child ends with the exception's code instead, the parent
// passes that on and the run directory goes.
TEST_F(Unpacking, ACrashInTheSystemsLoaderEndsTheRunWithItsExceptionCode) {
    const std::string damaged =
        withExportNamesOutsideTheImage(readFile(binaryDirectory() + L"\\testapp.dll"));
    ASSERT_FALSE(damaged.empty());
    const std::wstring temp = scratch_ / L"temp";
    CreateDirectoryW(temp.c_str(), nullptr);
    RunOptions options = privateTempOptions(temp);
    options.timeoutMs = 60000; // only a hang comes near it
    const ProcessResult result = runProcess(
        makePackagedExecutable(scratch_ / L"crash.exe", {{u"main.dll", damaged}}), {}, options);
    EXPECT_EQ(result.exitCode, 0xC0000005u) << result.ending() << result.standardError;
    EXPECT_THAT(namesIn(temp + L"\\CorvellinthOnefile"), ::testing::IsEmpty());
}

// A run with its own temp directory, so that whatever it leaves there is
// its own (Wine reuses process ids at once).
struct PrivateRun {
    ProcessResult result;
    std::vector<std::wstring> left; // the entries of {TEMP}\CorvellinthOnefile
};

PrivateRun runInPrivateTemp(const ScratchDirectory& scratch, const std::wstring& exe) {
    const std::wstring temp = scratch / L"temp";
    CreateDirectoryW(temp.c_str(), nullptr);
    PrivateRun run{runProcess(exe, {}, privateTempOptions(temp)), {}};
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((temp + L"\\CorvellinthOnefile\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.cFileName[0] != L'.') {
                run.left.push_back(found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    removeTree(temp);
    return run;
}

// Once the parent has made its run directory, every failure ends with its
// own message and exit code as before, and takes the directory with it:
// also in the middle of a file, and with a refused name.
TEST_F(Unpacking, EveryFailureWhileUnpackingRemovesTheRunDirectory) {
    const packer::Entry app = buildFile(u"main.dll", L"testapp.dll");
    std::u16string tooDeep;
    for (int level = 0; level < 130; ++level) {
        tooDeep += u"d\\";
    }
    const std::string decodeFailure = "Error, couldn't decode attached data.\n";
    const std::string complete = packer::writeAttachedData(
        {app, {u"big.bin", patterned(3 * 1024 * 1024, 3)}}, kTestWriterOptions);

    // "a" is a file by the time "a\b" needs it as a directory.
    PrivateRun run =
        runInPrivateTemp(scratch_, makePackagedExecutable(scratch_ / L"in-the-way.exe",
                                                          {app, {u"a", "file"}, {u"a\\b", "x"}}));
    EXPECT_EQ(run.result.exitCode, 2u);
    EXPECT_THAT(withoutCarriageReturns(run.result.standardError),
                ::testing::AllOf(StartsWith("Error, failed to open '"),
                                 ::testing::EndsWith("\\a\\b' for writing.\n")));
    EXPECT_THAT(run.left, ::testing::IsEmpty());

    run = runInPrivateTemp(scratch_, makePackagedExecutable(scratch_ / L"escape.exe",
                                                            {app, {u"..\\escaped.txt", "x"}}));
    EXPECT_EQ(run.result.exitCode, 2u);
    EXPECT_EQ(withoutCarriageReturns(run.result.standardOutput), decodeFailure);
    EXPECT_THAT(run.left, ::testing::IsEmpty());

    run = runInPrivateTemp(
        scratch_, makePackagedExecutable(scratch_ / L"deep.exe", {app, {tooDeep + u"f", "x"}}));
    EXPECT_EQ(run.result.exitCode, 2u);
    EXPECT_EQ(withoutCarriageReturns(run.result.standardOutput), decodeFailure);
    EXPECT_THAT(run.left, ::testing::IsEmpty());

    // Cut short inside big.bin, which is open for writing when the reader
    // fails.
    run = runInPrivateTemp(
        scratch_, makePackagedExecutableFromAttachedData(
                      scratch_ / L"cut.exe", complete.substr(0, complete.size() - 100000)));
    EXPECT_EQ(run.result.exitCode, 2u);
    EXPECT_EQ(withoutCarriageReturns(run.result.standardOutput), decodeFailure);
    EXPECT_THAT(run.left, ::testing::IsEmpty());
}

// An entry named as the short (8.3) name of an earlier entry's file would
// write that file through its short name: the main DLL itself, or a data
// file. Such a package is damaged: the run ends with the decode message,
// and its directory goes. The same name again, in another case, is the
// same file, and the later entry's content wins.
TEST_F(Unpacking, AnEntryNamedAsTheShortNameOfAnotherIsDamage) {
    const packer::Entry app = buildFile(u"mainprogram.dll", L"testapp.dll");
    const std::wstring mainAlias = shortNameOf(scratch_.path(), L"mainprogram.dll");
    const std::wstring dataAlias = shortNameOf(scratch_.path(), L"abcdefghij.txt");
    ASSERT_NE(mainAlias, L"mainprogram.dll") << "no short names on this drive";
    const std::vector<std::vector<packer::Entry>> damaged = {
        {app, {std::u16string(mainAlias.begin(), mainAlias.end()), "not a DLL"}},
        {app,
         {u"abcdefghij.txt", "right"},
         {std::u16string(dataAlias.begin(), dataAlias.end()), "wrong"}},
    };
    for (const std::vector<packer::Entry>& entries : damaged) {
        SCOPED_TRACE(narrow(std::wstring(entries.back().name.begin(), entries.back().name.end())));
        const PrivateRun run =
            runInPrivateTemp(scratch_, makePackagedExecutable(scratch_ / L"alias.exe", entries));
        EXPECT_EQ(run.result.exitCode, 2u) << run.result.standardError;
        EXPECT_EQ(withoutCarriageReturns(run.result.standardOutput),
                  "Error, couldn't decode attached data.\n");
        EXPECT_THAT(run.left, ::testing::IsEmpty());
    }

    const ProcessResult result = runPackaged(
        {app, {u"Data\\Notes.txt", "first"}, {u"data\\NOTES.TXT", "second"}}, {L"hashes"});
    EXPECT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
    std::map<std::string, std::string> hashes = reportedHashes(result.standardOutput);
    ASSERT_EQ(hashes.erase("mainprogram.dll"), 1u) << result.standardOutput;
    ASSERT_EQ(hashes.size(), 1u) << result.standardOutput;
    EXPECT_EQ(hashes.begin()->second, "6 " + fnv1a("second"));
}

// Names that Windows would turn into something else: a device (a serial
// port, the bit bucket), another file (trailing dots and spaces), a stream,
// or text that cannot be shown. Each ends the run with the decode message
// before anything of that entry is written, and the run directory goes.
TEST_F(Unpacking, NamesWindowsWouldMisreadAreRefusedBeforeTheyAreWritten) {
    const packer::Entry app = buildFile(u"main.dll", L"testapp.dll");
    const std::u16string refused[] = {
        u"NUL",       u"aux.txt",   u"data\\COM1", u"lpt9.log", u"CONIN$",    u"conout$.x",
        u"main.dll.", u"MAIN.DLL.", u"dir \\x",    u"a<b",      u"a>b",       u"a\"b",
        u"a|b",       u"a?b",       u"a*b",        u"a/b",      u"tab\tname", u"bell\x07",
        u"\xD800x",   u"x\xDC00",   u"stream:x",
    };
    for (const std::u16string& name : refused) {
        SCOPED_TRACE(narrow(std::wstring(name.begin(), name.end())));
        const PrivateRun run = runInPrivateTemp(
            scratch_, makePackagedExecutable(scratch_ / L"refused.exe",
                                             {app, {u"first.txt", "first"}, {name, "refused"}}));
        EXPECT_EQ(run.result.exitCode, 2u);
        EXPECT_EQ(withoutCarriageReturns(run.result.standardOutput),
                  "Error, couldn't decode attached data.\n");
        EXPECT_EQ(run.result.standardError, "");
        EXPECT_THAT(run.left, ::testing::IsEmpty());
    }
}

} // namespace
