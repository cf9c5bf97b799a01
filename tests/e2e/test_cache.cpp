// Cached packages under Wine: a first start unpacks into a copy in the
// cache folder, later starts run from it without unpacking, a damaged copy
// is replaced, concurrent first starts share one copy, a folder that cannot
// be written falls back to a run directory, and only copies that are not in
// use (and runs that are over) are ever removed. Every test has a temp
// directory of its own, which also holds the cache folder ({TEMP}\cache\app).
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using namespace testing_support;

constexpr wchar_t kMarker[] = L".onefile-cache";
constexpr DWORD kAppearMs = 60000;

// The value of the first "<key>=" line.
std::string reported(const std::string& output, const std::string& key) {
    for (const std::string& line : outputLines(output)) {
        if (line.rfind(key + "=", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "";
}

class Cache : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        suite_ = std::make_unique<ScratchDirectory>(L"cache-exe");
        entries_ = {fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll"),
                    {u"data\\hello.txt", "hello"},
                    {u"data\\deeper\\more.bin", pseudoRandomBytes(70000, 15)}};
        app_ = makeCachedExecutable(*suite_ / L"app.exe", entries_, u"cache\\app");
    }
    static void TearDownTestSuite() { suite_.reset(); }

    void SetUp() override { CreateDirectoryW(temp_.c_str(), nullptr); }

    RunOptions privateOptions() const { return privateTempOptions(temp_); }
    ProcessResult run(const std::vector<std::wstring>& arguments,
                      const std::wstring& program = app_) const {
        return runProcess(program, arguments, privateOptions());
    }
    std::wstring folder() const { return temp_ + L"\\cache\\app"; }
    std::vector<std::wstring> copies() const { return namesIn(folder()); }
    std::wstring copy() const {
        const std::vector<std::wstring> names = copies();
        return names.size() == 1 ? folder() + L"\\" + names[0] : L"";
    }
    // What run directories were left in {TEMP}\CorvellinthOnefile.
    std::vector<std::wstring> runsLeft() const { return namesIn(temp_ + L"\\CorvellinthOnefile"); }
    // A first start, which must leave one complete copy.
    std::wstring makeCopy() const {
        const ProcessResult first = run({L"exit", L"0"});
        EXPECT_EQ(first.exitCode, 0u) << first.standardOutput << first.standardError;
        return copy();
    }

    static inline std::unique_ptr<ScratchDirectory> suite_;
    static inline std::vector<packer::Entry> entries_;
    static inline std::wstring app_;
    ScratchDirectory scratch_{L"cache"};
    std::wstring temp_ = scratch_ / L"temp";
};

// A file added to the copy shows that the second start unpacked nothing:
// it runs what it found. The marker holds the key's digits and a time per
// file and folder of the package (five here).
TEST_F(Cache, TheFirstStartMakesACopyThatTheSecondRunsWithoutUnpacking) {
    const ProcessResult first = run({L"hashes", L"env"});
    ASSERT_EQ(first.exitCode, 0u) << first.standardOutput << first.standardError;
    EXPECT_EQ(hashLinesIn(first.standardOutput), expectedHashLines(entries_));
    const std::wstring copyPath = copy();
    ASSERT_FALSE(copyPath.empty()) << "one copy, and nothing else, in the cache folder";
    EXPECT_EQ(copyPath.size() - folder().size(), 33u);
    EXPECT_EQ(widen(reported(first.standardOutput, "module")), copyPath + L"\\main.dll");
    const std::string marker = readFile(copyPath + L"\\" + kMarker);
    EXPECT_EQ(marker.substr(0, 32), narrow(copyPath.substr(folder().size() + 1)));
    EXPECT_EQ(marker.size(), 32u + 5 * 8);
    EXPECT_THAT(runsLeft(), IsEmpty());

    writeFile(copyPath + L"\\data\\added.txt", "added");
    const ProcessResult second = run({L"hashes"});
    ASSERT_EQ(second.exitCode, 0u) << second.standardError;
    std::vector<packer::Entry> withAdded = entries_;
    withAdded.push_back({u"data\\added.txt", "added"});
    EXPECT_EQ(hashLinesIn(second.standardOutput), expectedHashLines(withAdded));
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_THAT(runsLeft(), IsEmpty());
}

// A file changed in place, its size kept, has another last-write time: the
// next start unpacks afresh. With its time put back as well, the change
// goes unnoticed (no file's content is read).
TEST_F(Cache, AFileChangedInPlaceIsNoticedByItsTime) {
    const std::wstring copyPath = makeCopy();
    ASSERT_FALSE(copyPath.empty());
    const std::wstring hello = copyPath + L"\\data\\hello.txt";
    writeFile(hello, "jello");
    ProcessResult result = run({L"hashes"});
    ASSERT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
    EXPECT_EQ(hashLinesIn(result.standardOutput), expectedHashLines(entries_));
    EXPECT_EQ(copy(), copyPath);

    WIN32_FILE_ATTRIBUTE_DATA before{};
    ASSERT_TRUE(GetFileAttributesExW(hello.c_str(), GetFileExInfoStandard, &before));
    writeFile(hello, "jello");
    const HANDLE file = CreateFileW(hello.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &before.ftLastWriteTime));
    CloseHandle(file);
    result = run({L"hashes"});
    ASSERT_EQ(result.exitCode, 0u) << result.standardError;
    std::vector<packer::Entry> changed = entries_;
    changed[1].data = "jello";
    EXPECT_EQ(hashLinesIn(result.standardOutput), expectedHashLines(changed));
}

// Run in the first process, the application gets what the child would:
// argument 0 as the full path, the user's arguments, the four variables,
// the exit code with all its bits, the standard streams; and a second start
// from inside it joins the run, from the same copy.
TEST_F(Cache, TheApplicationGetsWhatAChildWouldGet) {
    makeCopy();
    RunOptions options = privateOptions();
    options.commandLine = L"typed-name args \"two words\" \"\" env stderr oops spawn " +
                          quoteArgument(app_) + L" env -- exit 0xC0000005";
    options.standardInput = "ignored";
    const ProcessResult result = runProcess(app_, {}, options);
    EXPECT_EQ(result.exitCode, 0xC0000005u) << result.standardError;
    const std::vector<std::string> output = outputLines(result.standardOutput);
    const auto argumentLine = [](int index, const std::wstring& text) {
        std::string line = "arg " + std::to_string(index) + " ";
        char unit[5];
        for (const wchar_t code : text) {
            std::snprintf(unit, sizeof(unit), "%04x", static_cast<unsigned>(code));
            line += unit;
        }
        return line;
    };
    EXPECT_THAT(std::vector<std::string>(output.begin(), output.begin() + 4),
                ElementsAre(argumentLine(0, app_), argumentLine(1, L"args"),
                            argumentLine(2, L"two words"), argumentLine(3, L"")));
    EXPECT_EQ(reported(result.standardOutput, "TAMBRO_ONEFILE_PARENT"),
              std::to_string(result.processId));
    EXPECT_EQ(reported(result.standardOutput, "TAMBRO_ORIGINAL_ARGV0"), "typed-name");
    EXPECT_EQ(reported(result.standardOutput, "TAMBRO_ONEFILE_START").size(), 18u);
    wchar_t shortDirectory[4096];
    GetShortPathNameW(suite_->path().c_str(), shortDirectory, 4096);
    EXPECT_EQ(reported(result.standardOutput, "TAMBRO_ONEFILE_DIRECTORY"), narrow(shortDirectory));
    EXPECT_THAT(result.standardError, StartsWith("oops"));
    // The second start's "env" block: the same parent and the same copy.
    std::vector<std::string> modules;
    std::vector<std::string> parents;
    for (const std::string& line : output) {
        if (line.rfind("module=", 0) == 0) {
            modules.push_back(line.substr(7));
        }
        if (line.rfind("TAMBRO_ONEFILE_PARENT=", 0) == 0) {
            parents.push_back(line.substr(22));
        }
    }
    ASSERT_EQ(modules.size(), 2u) << result.standardOutput;
    EXPECT_EQ(widen(modules[0]), copy() + L"\\main.dll");
    EXPECT_EQ(modules[1], modules[0]);
    EXPECT_THAT(parents,
                ElementsAre(std::to_string(result.processId), std::to_string(result.processId)));
}

// Each damage comes with a byte changed in another file, which only a
// fresh unpack puts right.
TEST_F(Cache, ADeletedOrTruncatedFileOrAMissingMarkerMeansAFreshUnpack) {
    const std::wstring copyPath = makeCopy();
    ASSERT_FALSE(copyPath.empty());
    const std::wstring more = copyPath + L"\\data\\deeper\\more.bin";
    const std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"a deleted file", [&] { DeleteFileW(more.c_str()); }},
        {"a truncated file", [&] { writeFile(more, "cut"); }},
        {"a missing marker", [&] { DeleteFileW((copyPath + L"\\" + kMarker).c_str()); }},
        {"an empty marker", [&] { writeFile(copyPath + L"\\" + kMarker, ""); }},
    };
    for (const auto& [what, damage] : damages) {
        SCOPED_TRACE(what);
        writeFile(copyPath + L"\\data\\hello.txt", "jello");
        damage();
        const ProcessResult result = run({L"hashes"});
        ASSERT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
        EXPECT_EQ(hashLinesIn(result.standardOutput), expectedHashLines(entries_));
        EXPECT_EQ(copy(), copyPath);
        EXPECT_TRUE(fileExists(copyPath + L"\\" + kMarker));
        EXPECT_THAT(runsLeft(), IsEmpty());
    }
}

// Damage that a first start finds while it unpacks (a wrong checksum, an
// entry named as another's short name) ends the run with the decode
// message and takes its new copy along: nothing is left to run from.
TEST_F(Cache, DamageFoundByAFirstStartEndsItAndLeavesNoCopy) {
    std::string wrongChecksum = packer::writeAttachedData(entries_, kTestWriterOptions);
    const std::size_t frameEnd =
        3 + ZSTD_findFrameCompressedSize(wrongChecksum.data() + 3, wrongChecksum.size() - 3);
    wrongChecksum[frameEnd - 1] = static_cast<char>(wrongChecksum[frameEnd - 1] ^ 1);
    const std::wstring alias = shortNameOf(scratch_.path(), L"abcdefghij.txt");
    std::vector<packer::Entry> aliased = entries_;
    aliased.push_back({u"abcdefghij.txt", "right"});
    aliased.push_back({std::u16string(alias.begin(), alias.end()), "wrong"});
    const std::vector<std::wstring> damaged = {
        makeCachedExecutable(scratch_ / L"checksum.exe", entries_, u"cache\\app", wrongChecksum),
        makeCachedExecutable(scratch_ / L"alias.exe", aliased, u"cache\\app")};
    for (const std::wstring& program : damaged) {
        SCOPED_TRACE(narrow(program));
        const ProcessResult result = run({L"hashes"}, program);
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_EQ(result.standardOutput, "Error, couldn't decode attached data.\r\n");
        EXPECT_THAT(copies(), IsEmpty());
        EXPECT_THAT(runsLeft(), IsEmpty());
    }
}

// A removal that a file held open elsewhere cuts short leaves the copy's
// marker, emptied: no start runs what is left, and once the file is let go
// the next start removes the rest and unpacks afresh.
TEST_F(Cache, ACopyWhoseRemovalWasCutShortIsNeverRun) {
    const std::wstring copyPath = makeCopy();
    ASSERT_FALSE(copyPath.empty());
    writeFile(copyPath + L"\\data\\deeper\\more.bin", "cut");
    const HANDLE held = CreateFileW((copyPath + L"\\data\\hello.txt").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const ProcessResult cutShort = run({L"hashes"});
    CloseHandle(held);
    ASSERT_EQ(cutShort.exitCode, 0u) << cutShort.standardOutput << cutShort.standardError;
    EXPECT_EQ(hashLinesIn(cutShort.standardOutput), expectedHashLines(entries_));
    EXPECT_EQ(readFile(copyPath + L"\\" + kMarker), "");
    EXPECT_THAT(runsLeft(), IsEmpty());

    const ProcessResult next = run({L"hashes"});
    ASSERT_EQ(next.exitCode, 0u) << next.standardOutput << next.standardError;
    EXPECT_EQ(hashLinesIn(next.standardOutput), expectedHashLines(entries_));
    EXPECT_EQ(copy(), copyPath);
    EXPECT_NE(readFile(copyPath + L"\\" + kMarker), "");
}

// A copy's marker that is a hard link to a user's file: the start that
// removes the damaged copy would empty the marker first, and with it the
// user's file. It leaves the copy alone instead and runs from a run
// directory; the user's file keeps its content.
TEST_F(Cache, AMarkerThatIsAHardLinkIsNeverEmptied) {
    const std::wstring copyPath = makeCopy();
    ASSERT_FALSE(copyPath.empty());
    const std::wstring precious = scratch_ / L"precious.txt";
    writeFile(precious, "the user's own");
    const std::wstring marker = copyPath + L"\\" + kMarker;
    ASSERT_TRUE(DeleteFileW(marker.c_str()));
    ASSERT_TRUE(CreateHardLinkW(marker.c_str(), precious.c_str(), nullptr));

    const ProcessResult result = run({L"hashes", L"env"});
    ASSERT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
    EXPECT_EQ(hashLinesIn(result.standardOutput), expectedHashLines(entries_));
    EXPECT_THAT(reported(result.standardOutput, "module"),
                StartsWith(narrow(temp_) + "\\CorvellinthOnefile\\onefile_"));
    EXPECT_EQ(readFile(precious), "the user's own");
    EXPECT_EQ(readFile(marker), "the user's own");
    EXPECT_THAT(runsLeft(), IsEmpty());
}

// Packed with onefile-pack itself, as a user rebuilds an application: the
// new package gets its own copy; the old one stays while it runs and goes
// at the first start after it.
TEST_F(Cache, ARebuiltPackageGetsItsOwnCopyAndTheOldOneGoesOnceUnused) {
    const std::wstring source = scratch_ / L"source";
    writeFile(source + L"\\main.dll", readFile(binaryDirectory() + L"\\testapp.dll"));
    writeFile(source + L"\\data\\hello.txt", "hello");
    const auto packVersion = [&](const std::wstring& output) {
        const ProcessResult packed = pack(
            {L"--main", L"main.dll", L"--output", output, L"--cache", L"--cache-location",
             L"{TEMP}\\cache\\{PRODUCT}", L"--name", L"app", L"--level", L"3", L"--quiet", source});
        EXPECT_EQ(packed.exitCode, 0u) << packed.standardError;
    };
    const std::wstring first = scratch_ / L"v1.exe";
    const std::wstring second = scratch_ / L"v2.exe";
    packVersion(first);
    writeFile(source + L"\\data\\hello.txt", "hello, again");
    packVersion(second);

    const std::wstring running = scratch_ / L"running";
    const std::wstring go = scratch_ / L"go";
    const MarkedRun marked = startMarked(first, {L"mark", running, L"await", go, L"hashes"},
                                         privateOptions(), running, kAppearMs);
    ASSERT_NE(marked.markedId, 0u) << marked.why();
    BackgroundProcess& old = *marked.process;
    const std::vector<std::wstring> oldCopy = copies();
    ASSERT_EQ(oldCopy.size(), 1u);

    const ProcessResult updated = run({L"hashes"}, second);
    ASSERT_EQ(updated.exitCode, 0u) << updated.standardError;
    EXPECT_THAT(hashLinesIn(updated.standardOutput),
                ::testing::Contains(StartsWith("hash data\\hello.txt 12 ")));
    std::vector<std::wstring> both = copies();
    ASSERT_EQ(both.size(), 2u) << "the old copy is in use";
    EXPECT_TRUE(std::find(both.begin(), both.end(), oldCopy[0]) != both.end());

    writeFile(go, "");
    const ProcessResult oldResult = old.finish();
    EXPECT_EQ(oldResult.exitCode, 0u) << oldResult.standardError;
    EXPECT_THAT(hashLinesIn(oldResult.standardOutput),
                ::testing::Contains(StartsWith("hash data\\hello.txt 5 ")));
    EXPECT_EQ(run({L"exit", L"0"}, second).exitCode, 0u);
    both.erase(std::find(both.begin(), both.end(), oldCopy[0]));
    EXPECT_EQ(copies(), both);
}

// All run; one copy remains, and none of the new copies that lost the
// race to it.
TEST_F(Cache, EightFirstStartsAtOnceAllRunFromOneCopy) {
    std::vector<std::unique_ptr<BackgroundProcess>> starts;
    for (int index = 0; index < 8; ++index) {
        starts.push_back(std::make_unique<BackgroundProcess>(
            app_, std::vector<std::wstring>{L"hashes", L"env"}, privateOptions()));
    }
    std::set<std::string> modules;
    for (const auto& start : starts) {
        const ProcessResult result = start->finish();
        if (isWineLaunchRefusal(result)) {
            continue; // Wine's own failure, which says nothing about the race
        }
        EXPECT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
        EXPECT_EQ(hashLinesIn(result.standardOutput), expectedHashLines(entries_));
        modules.insert(reported(result.standardOutput, "module"));
    }
    ASSERT_FALSE(copy().empty()) << "exactly one entry in the cache folder";
    EXPECT_THAT(modules, ElementsAre(narrow(copy() + L"\\main.dll")));
    EXPECT_THAT(runsLeft(), IsEmpty());
}

// A file where the cache folder should be: the run unpacks into a run
// directory of its own, as a package without a cache does, and deletes it.
TEST_F(Cache, AFolderThatCannotBeMadeFallsBackToARunDirectory) {
    writeFile(temp_ + L"\\cache", "in the way");
    const ProcessResult result = run({L"hashes", L"env"});
    ASSERT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
    EXPECT_EQ(hashLinesIn(result.standardOutput), expectedHashLines(entries_));
    EXPECT_THAT(reported(result.standardOutput, "module"),
                StartsWith(narrow(temp_) + "\\CorvellinthOnefile\\onefile_"));
    EXPECT_THAT(runsLeft(), IsEmpty());
    EXPECT_EQ(readFile(temp_ + L"\\cache"), "in the way");
}

// What a start removes from the cache folder: other copies with a marker
// that no one holds, and directories of runs that are over. A copy in use
// stays until it is not; everything that is not provably a copy or a run
// of a launcher stays for good.
TEST_F(Cache, OnlyCopiesNotInUseAndRunsThatAreOverAreRemoved) {
    const std::wstring unused = L"0123456789abcdef0123456789abcdef";
    const std::wstring held = L"00000000000000000000000000000001";
    const std::wstring self = std::to_wstring(GetCurrentProcessId());
    std::vector<std::wstring> kept = {L"00000000000000000000000000000002",
                                      L"ABCDEF0123456789ABCDEF0123456789",
                                      L"0123456789abcdef0123456789abcde",
                                      L"onefile_" + self + L"_999999999999999999", L"notacopy"};
    for (const std::wstring& name : {unused, held, kept[1], kept[2]}) {
        writeFile(folder() + L"\\" + name + L"\\" + kMarker, "any");
        writeFile(folder() + L"\\" + name + L"\\data\\x.txt", "x");
    }
    writeFile(folder() + L"\\" + kept[0] + L"\\data\\x.txt", "no marker");
    writeFile(folder() + L"\\onefile_4000000_1\\x.txt", "a run that is over");
    writeFile(folder() + L"\\" + kept[3] + L"\\x.txt", "a run that is not");
    writeFile(folder() + L"\\" + kept[4] + L"\\x.txt", "other");
    writeFile(folder() + L"\\00000000000000000000000000000003", "a file");
    kept.push_back(L"00000000000000000000000000000003");
    const HANDLE marker =
        CreateFileW((folder() + L"\\" + held + L"\\" + kMarker).c_str(), GENERIC_READ,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(marker, INVALID_HANDLE_VALUE);

    EXPECT_EQ(run({L"exit", L"0"}).exitCode, 0u);
    std::vector<std::wstring> left = copies();
    std::vector<std::wstring> expected = kept;
    expected.push_back(held);
    const auto isOwnCopy = [&](const std::wstring& name) {
        return fileExists(folder() + L"\\" + name + L"\\main.dll");
    };
    ASSERT_EQ(std::count_if(left.begin(), left.end(), isOwnCopy), 1);
    left.erase(std::find_if(left.begin(), left.end(), isOwnCopy));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(readFile(folder() + L"\\" + held + L"\\data\\x.txt"), "x");

    CloseHandle(marker);
    EXPECT_EQ(run({L"exit", L"0"}).exitCode, 0u);
    left = copies();
    left.erase(std::find_if(left.begin(), left.end(), isOwnCopy));
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
}

} // namespace
