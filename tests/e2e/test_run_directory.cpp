// What a packaged launcher may touch under Wine: the run directory that it
// made itself, and nothing else, whatever the inherited environment, the
// temp directory or the application put in its way. Every run has a temp
// directory of its own, so whatever is left there is that run's.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace testing_support;

constexpr wchar_t kStart[] = L"TAMBRO_ONEFILE_START";
constexpr wchar_t kReplayedStart[] = L"133000000000000000";

// The value of the first "<key>=" line of the application's output.
std::string reported(const std::string& output, const std::string& key) {
    std::istringstream stream(output);
    std::string line;
    while (std::getline(stream, line)) {
        if (line.rfind(key + "=", 0) == 0) {
            line.erase(0, key.size() + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return line;
        }
    }
    return "";
}

class RunDirectory : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        suite_ = std::make_unique<ScratchDirectory>(L"rundir-exe");
        exe_ = makePackagedExecutable(
            *suite_ / L"app.exe",
            {fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll"),
             {u"data\\hello.txt", "hello"},
             {u"data\\deeper\\nested\\empty.bin", ""},
             {std::u16string(200, u'd') + u"\\" + std::u16string(100, u'f'), "long"}});
    }
    static void TearDownTestSuite() { suite_.reset(); }

    void SetUp() override { CreateDirectoryW(temp_.c_str(), nullptr); }

    RunOptions privateOptions() const { return privateTempOptions(temp_); }
    ProcessResult run(const std::vector<std::wstring>& arguments) const {
        return runProcess(exe_, arguments, privateOptions());
    }
    // What the runs left in {TEMP}\CorvellinthOnefile.
    std::vector<std::wstring> left() const { return namesIn(runsDirectory()); }
    std::wstring runsDirectory() const { return temp_ + L"\\CorvellinthOnefile"; }

    static inline std::unique_ptr<ScratchDirectory> suite_;
    static inline std::wstring exe_;
    ScratchDirectory scratch_{L"rundir"};
    std::wstring temp_ = scratch_ / L"temp";
};

// "1\..\..\..\victim" once named {TEMP}\..\victim: the parent unpacked
// into it and deleted it. Now it is not a start time and counts as absent.
TEST_F(RunDirectory, AStartTimeThatIsNotDigitsCannotSteerTheRunElsewhere) {
    const std::wstring victim = scratch_ / L"victim";
    writeFile(victim + L"\\keep.txt", "keep");
    RunOptions options = privateOptions();
    options.environment[kStart] = L"1\\..\\..\\..\\victim";
    const ProcessResult result = runProcess(exe_, {L"env"}, options);
    ASSERT_EQ(result.exitCode, 0u) << result.standardError;
    const std::string start = reported(result.standardOutput, "TAMBRO_ONEFILE_START");
    EXPECT_EQ(start.size(), 18u);
    EXPECT_EQ(start.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_THAT(reported(result.standardOutput, "module"),
                ::testing::EndsWith("_" + start + "\\main.dll"));
    EXPECT_EQ(listFiles(victim), std::vector<std::wstring>{L"keep.txt"});
    EXPECT_THAT(left(), IsEmpty());
}

// The run directory's name is known before the parent runs: its process id
// (the run is started suspended) and a replayed start time. Whatever stands
// there, the parent stops before it writes anything, and deletes nothing.
TEST_F(RunDirectory, APlantedRunDirectoryOrLinkIsRefusedAndLeftAsItWas) {
    const std::wstring victim = scratch_ / L"victim";
    writeFile(victim + L"\\keep.txt", "keep");
    for (const bool plantLink : {false, true}) {
        SCOPED_TRACE(plantLink ? "a link to another directory" : "a directory");
        std::wstring planted;
        bool plantedOk = false;
        RunOptions options = privateOptions();
        options.environment[kStart] = kReplayedStart;
        options.beforeStart = [&](DWORD processId) {
            planted = runsDirectory() + L"\\onefile_" + std::to_wstring(processId) + L"_" +
                      kReplayedStart;
            CreateDirectoryW(runsDirectory().c_str(), nullptr);
            if (plantLink) {
                plantedOk = makeLinuxSymlink(planted, victim);
            } else {
                writeFile(planted + L"\\mine.txt", "mine");
                plantedOk = true;
            }
        };
        const ProcessResult result = runProcess(exe_, {L"exit", L"0"}, options);
        ASSERT_TRUE(plantedOk);
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_EQ(result.standardError,
                  "Error, target directory '" + narrow(planted) + "' already exists.\r\n");
        EXPECT_EQ(listFiles(victim), std::vector<std::wstring>{L"keep.txt"});
        if (plantLink) {
            runLinuxProgram("/bin/rm", {linuxPath(planted)});
        } else {
            EXPECT_EQ(listFiles(planted), std::vector<std::wstring>{L"mine.txt"});
            removeTree(planted);
        }
    }
}

// Links that the application makes in its own directory, to a directory, a
// file and the directory above: what they point to survives, and so do the
// links themselves (under Wine they cannot be removed without deleting their
// targets), while everything else goes, a hard link to an outside file and
// a read-only file included.
TEST_F(RunDirectory, LinksMadeByTheApplicationAreNeverFollowed) {
    const std::wstring outside = scratch_ / L"outside";
    writeFile(outside + L"\\dir\\inner.txt", "inner");
    writeFile(outside + L"\\file.txt", "file");
    writeFile(outside + L"\\hard.txt", "hard");
    if (linuxPath(outside).empty()) {
        GTEST_SKIP() << "needs Wine to make Linux links";
    }
    // One shell does it all; "done" tells the application that it has.
    const std::string script =
        "ln -s '" + linuxPath(outside + L"\\dir") + "' dirlink && ln -s '" +
        linuxPath(outside + L"\\file.txt") + "' filelink && ln -s .. uplink && ln '" +
        linuxPath(outside + L"\\hard.txt") + "' hardlink && chmod a-w data/hello.txt && touch done";
    const ProcessResult result = run({L"env", L"cd-module", L"spawn", L"Z:\\bin\\sh", L"-c",
                                      widen(script), L"--", L"await", L"done"});
    ASSERT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
    const std::string module = reported(result.standardOutput, "module");
    const std::wstring runDirectory = widen(module.substr(0, module.rfind('\\')));

    EXPECT_EQ(readFile(outside + L"\\dir\\inner.txt"), "inner");
    EXPECT_EQ(readFile(outside + L"\\file.txt"), "file");
    EXPECT_EQ(readFile(outside + L"\\hard.txt"), "hard");
    EXPECT_THAT(namesIn(runDirectory), ElementsAre(L"dirlink", L"filelink", L"uplink"));
    EXPECT_THAT(left(), ElementsAre(runDirectory.substr(runDirectory.rfind(L'\\') + 1)));
    runLinuxProgram("/bin/rm", {"-rf", linuxPath(runDirectory)});
}

// Paths of 260 code units or more: created in the extended-length form (a
// 200-unit directory with a 100-unit file in it comes with the package),
// and deleted the same way, also those the application makes itself.
TEST_F(RunDirectory, LongPathsAreUnpackedAndDeleted) {
    const ProcessResult result =
        run({L"pad", L"259", L"pad", L"260", L"pad", L"300", L"hashes", L"env"});
    ASSERT_EQ(result.exitCode, 0u) << result.standardError;
    std::istringstream lines(result.standardOutput);
    int made = 0;
    bool longFileArrived = false;
    for (std::string line; std::getline(lines, line);) {
        made += line.rfind("pad made", 0) == 0 ? 1 : 0;
        longFileArrived =
            longFileArrived ||
            line.rfind("hash " + std::string(200, 'd') + "\\" + std::string(100, 'f') + " 4 ", 0) ==
                0;
    }
    EXPECT_EQ(made, 3) << result.standardOutput;
    EXPECT_TRUE(longFileArrived) << result.standardOutput;
    EXPECT_THAT(left(), IsEmpty());
}

} // namespace
