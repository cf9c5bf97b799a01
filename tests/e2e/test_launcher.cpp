// The packaged launcher end to end under Wine: a copy of the launcher
// (testing_support::launcherPath) carrying tests/testapp's DLL as its main
// file, started as a user would.
// What the application prints (see testapp.cpp) shows what reached it.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;
using testing_support::binaryDirectory;
using testing_support::cleanOptions;
using testing_support::directoryExists;
using testing_support::narrow;
using testing_support::ProcessResult;
using testing_support::RunOptions;
using testing_support::runProcess;
using testing_support::ScratchDirectory;
using testing_support::widen;

constexpr wchar_t kParent[] = L"TAMBRO_ONEFILE_PARENT";
constexpr wchar_t kStart[] = L"TAMBRO_ONEFILE_START";
constexpr wchar_t kStaleStart[] = L"111111111111111111";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

// The arguments as run_code saw them, from the "arg <i> <hex>" lines.
std::vector<std::wstring> reportedArguments(const std::string& output) {
    std::vector<std::wstring> result;
    for (const std::string& line : lines(output)) {
        std::istringstream fields(line);
        std::string word;
        int index = 0;
        std::string hex;
        if (!(fields >> word >> index) || word != "arg") {
            continue;
        }
        fields >> hex;
        std::wstring argument;
        for (std::size_t at = 0; at + 4 <= hex.size(); at += 4) {
            argument.push_back(static_cast<wchar_t>(std::stoul(hex.substr(at, 4), nullptr, 16)));
        }
        result.push_back(argument);
    }
    return result;
}

// "NAME=value" lines of the "env" command; a later line of the same name
// (a nested run's) is kept apart by taking only the first block.
std::map<std::string, std::string> reportedEnvironment(const std::string& output) {
    std::map<std::string, std::string> result;
    for (const std::string& line : lines(output)) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && line.rfind("file ", 0) != 0) {
            result.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return result;
}

std::string directoryOf(const std::string& path) {
    return path.substr(0, path.rfind('\\'));
}

std::string shortForm(const std::wstring& path) {
    wchar_t buffer[4096];
    const DWORD length = GetShortPathNameW(path.c_str(), buffer, 4096);
    return narrow(length == 0 || length >= 4096 ? path : std::wstring(buffer, length));
}

class Launcher : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        scratch_ = std::make_unique<ScratchDirectory>(L"launcher");
        const std::vector<packer::Entry> entries = {
            testing_support::fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll"),
            {u"data\\hello.txt", "hello"},
            {u"data\\deeper\\nested\\empty.bin", ""},
        };
        exe_ = testing_support::makePackagedExecutable(*scratch_ / L"app.exe", entries);
        otherExe_ = testing_support::makePackagedExecutable(*scratch_ / L"other.exe", entries);
        CreateDirectoryW((*scratch_ / L"dir with blank").c_str(), nullptr);
        blankExe_ = testing_support::makePackagedExecutable(
            *scratch_ / L"dir with blank\\app copy.exe", entries);
    }
    static void TearDownTestSuite() { scratch_.reset(); }

    static ProcessResult run(const std::vector<std::wstring>& arguments,
                             const RunOptions& options = cleanOptions()) {
        return runProcess(exe_, arguments, options);
    }

    // The target directory that the unpack spec names for this run, and what the
    // application reported about it.
    static void expectSpecDirectory(const std::map<std::string, std::string>& environment,
                                    DWORD parentId) {
        const std::string expected = narrow(testing_support::systemTempDirectory()) +
                                     "\\CorvellinthOnefile\\onefile_" + std::to_string(parentId) +
                                     "_" + environment.at("TAMBRO_ONEFILE_START") + "\\main.dll";
        EXPECT_EQ(environment.at("module"), expected);
        EXPECT_EQ(environment.at("TAMBRO_ONEFILE_START").size(), 18u);
        EXPECT_EQ(environment.at("TAMBRO_ONEFILE_START").find_first_not_of("0123456789"),
                  std::string::npos);
    }

    static inline std::unique_ptr<ScratchDirectory> scratch_;
    static inline std::wstring exe_;
    static inline std::wstring otherExe_;
    static inline std::wstring blankExe_;
};

TEST_F(Launcher, ArgumentsReachRunCodeUnchanged) {
    const std::vector<std::wstring> arguments = {
        L"args",
        L"plain",
        L"a text with blanks",
        L"C:\\path\\ends\\in\\",
        L"C:\\dir with blank\\",
        L"embedded \"double\" quotes",
        L"\\\\\"",
        L"tab\tinside",
        L"\u00e9t\u00e9 \u65e5\u672c\u8a9e \U0001F600",
    };
    const ProcessResult result = run(arguments);
    ASSERT_EQ(result.exitCode, 0u) << result.standardError;
    std::vector<std::wstring> expected = arguments;
    expected.insert(expected.begin(), exe_);
    EXPECT_EQ(reportedArguments(result.standardOutput), expected);
}

// Empty arguments first, between others and last keep their places, as a
// program started directly would see them.
TEST_F(Launcher, EmptyArgumentsArriveInPlaceAndABlankPathIsQuoted) {
    const ProcessResult result =
        runProcess(blankExe_, {L"", L"args", L"", L"", L"last", L""}, cleanOptions());
    ASSERT_EQ(result.exitCode, 0u) << result.standardError;
    EXPECT_THAT(reportedArguments(result.standardOutput),
                ElementsAre(blankExe_, L"", L"args", L"", L"", L"last", L""));
}

TEST_F(Launcher, ExitCodesPassThroughWithAll32Bits) {
    for (const unsigned long code : {0ul, 1ul, 2ul, 255ul, 256ul, 0xC0000005ul}) {
        const ProcessResult result = run({L"exit", std::to_wstring(code)});
        EXPECT_EQ(result.exitCode, code) << result.standardError;
    }
}

TEST_F(Launcher, StandardStreamsPassThrough) {
    RunOptions options = cleanOptions();
    std::string input;
    for (int i = 0; input.size() < 200000; ++i) {
        input += "chunk-" + std::to_string(i) + ";";
    }
    options.standardInput = input;
    const ProcessResult result = run({L"cat", L"stderr", L"to the error stream"}, options);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.standardOutput, input);
    EXPECT_THAT(result.standardError, StartsWith("to the error stream"));
}

// Both streams into one pipe, as 2>&1 gives: the lines arrive in the order
// the application wrote them, as they would from a direct run.
TEST_F(Launcher, StandardOutputAndErrorKeepTheirOrderInOneStream) {
    RunOptions options = cleanOptions();
    options.errorIntoOutput = true;
    const ProcessResult result = run({L"interleave", L"200"}, options);
    EXPECT_EQ(result.exitCode, 0u);
    std::vector<std::string> expected;
    for (int line = 0; line < 200; ++line) {
        expected.push_back((line % 2 == 0 ? "out " : "err ") + std::to_string(line));
    }
    EXPECT_EQ(lines(result.standardOutput), expected);
}

TEST_F(Launcher, TheApplicationSeesTheParentsVariablesDirectoryAndFiles) {
    const ScratchDirectory workingDirectory(L"cwd");
    RunOptions options = cleanOptions();
    options.currentDirectory = workingDirectory.path();
    // The program name as typed differs from the path that starts it; the
    // application gets the full path as its argument 0.
    options.commandLine = L"typed-name env files args";
    const ProcessResult result = run({}, options);
    ASSERT_EQ(result.exitCode, 0u) << result.standardError;
    const auto environment = reportedEnvironment(result.standardOutput);
    EXPECT_EQ(environment.at("TAMBRO_ONEFILE_PARENT"), std::to_string(result.processId));
    EXPECT_EQ(environment.at("TAMBRO_ONEFILE_DIRECTORY"), shortForm(scratch_->path()));
    EXPECT_EQ(environment.at("TAMBRO_ORIGINAL_ARGV0"), "typed-name");
    EXPECT_THAT(reportedArguments(result.standardOutput),
                ElementsAre(exe_, L"env", L"files", L"args"));
    EXPECT_EQ(environment.at("cwd"), narrow(workingDirectory.path()));
    expectSpecDirectory(environment, result.processId);
    EXPECT_THAT(lines(result.standardOutput),
                ::testing::IsSupersetOf({"file main.dll", "file data\\hello.txt",
                                         "file data\\deeper\\nested\\empty.bin"}));
    EXPECT_FALSE(directoryExists(widen(directoryOf(environment.at("module")))))
        << "the target directory outlived the parent";
}

// The identifier of a launcher of this very executable that has ended. The
// handle is kept open so that the system cannot give the identifier to a
// new process in the meantime.
class EndedProcess {
  public:
    explicit EndedProcess(const std::wstring& exe) {
        std::wstring commandLine = L"\"" + exe + L"\" exit 0";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            WaitForSingleObject(info.hProcess, 60000);
            handle_ = info.hProcess;
            processId_ = info.dwProcessId;
        }
    }
    ~EndedProcess() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    EndedProcess(const EndedProcess&) = delete;
    EndedProcess& operator=(const EndedProcess&) = delete;
    DWORD processId() const { return processId_; }

  private:
    HANDLE handle_ = nullptr;
    DWORD processId_ = 0;
};

// A stale TAMBRO_ONEFILE_PARENT makes a parent that drops the stale start
// time too and publishes fresh values of both.
TEST_F(Launcher, StaleParentValuesGiveAParentWithFreshVariables) {
    const EndedProcess ended(exe_);
    ASSERT_NE(ended.processId(), 0u);
    const std::vector<std::wstring> staleValues = {
        L"12x", L"99999999999",
        std::to_wstring(GetCurrentProcessId()), // alive, but another executable
        std::to_wstring(ended.processId()),     // this executable, but ended
    };
    for (const std::wstring& stale : staleValues) {
        SCOPED_TRACE(narrow(stale));
        RunOptions options = cleanOptions();
        options.environment[kParent] = stale;
        options.environment[kStart] = kStaleStart;
        const ProcessResult result = run({L"env"}, options);
        ASSERT_EQ(result.exitCode, 0u) << result.standardError;
        const auto environment = reportedEnvironment(result.standardOutput);
        EXPECT_EQ(environment.at("TAMBRO_ONEFILE_PARENT"), std::to_string(result.processId));
        EXPECT_NE(environment.at("TAMBRO_ONEFILE_START"), narrow(kStaleStart));
        expectSpecDirectory(environment, result.processId);
    }
}

// Without a parent value (absent, or empty, which reads as absent) nothing
// is removed, and a start time left by an unrelated run names the directory.
TEST_F(Launcher, AStartTimeLeftWithoutParentIsReused) {
    for (const bool emptyParent : {false, true}) {
        SCOPED_TRACE(emptyParent ? "empty parent value" : "no parent value");
        RunOptions options = cleanOptions();
        if (emptyParent) {
            options.environment[kParent] = L"";
        }
        options.environment[kStart] = kStaleStart;
        const ProcessResult result = run({L"env"}, options);
        ASSERT_EQ(result.exitCode, 0u) << result.standardError;
        const auto environment = reportedEnvironment(result.standardOutput);
        EXPECT_EQ(environment.at("TAMBRO_ONEFILE_PARENT"), std::to_string(result.processId));
        EXPECT_EQ(environment.at("TAMBRO_ONEFILE_START"), narrow(kStaleStart));
        expectSpecDirectory(environment, result.processId);
    }
}

// Lines starting with prefix, in order.
std::vector<std::string> linesStartingWith(const std::string& output, const std::string& prefix) {
    std::vector<std::string> result;
    for (const std::string& line : lines(output)) {
        if (line.rfind(prefix, 0) == 0) {
            result.push_back(line);
        }
    }
    return result;
}

// Started from inside the application, the same executable finds its parent
// alive and runs from the parent's directory; another packaged executable
// does not and unpacks for itself.
TEST_F(Launcher, ASecondStartFromInsideTheApplication) {
    const ProcessResult same = run({L"env", L"spawn", exe_, L"env", L"exit", L"5"});
    EXPECT_EQ(same.exitCode, 5u) << same.standardError;
    const std::vector<std::string> modules = linesStartingWith(same.standardOutput, "module=");
    ASSERT_EQ(modules.size(), 2u) << same.standardOutput;
    EXPECT_EQ(modules[0], modules[1]);
    const std::string parent = "TAMBRO_ONEFILE_PARENT=" + std::to_string(same.processId);
    EXPECT_THAT(linesStartingWith(same.standardOutput, "TAMBRO_ONEFILE_PARENT="),
                ElementsAre(parent, parent));

    const ProcessResult other = run({L"env", L"spawn", otherExe_, L"env"});
    EXPECT_EQ(other.exitCode, 0u) << other.standardError;
    const std::vector<std::string> otherModules =
        linesStartingWith(other.standardOutput, "module=");
    const std::vector<std::string> otherParents =
        linesStartingWith(other.standardOutput, "TAMBRO_ONEFILE_PARENT=");
    ASSERT_EQ(otherModules.size(), 2u) << other.standardOutput;
    ASSERT_EQ(otherParents.size(), 2u);
    EXPECT_NE(otherModules[0], otherModules[1]);
    EXPECT_NE(otherParents[0], otherParents[1]);
}

TEST_F(Launcher, EightAtOnceEachGetTheirOwnDirectory) {
    constexpr std::size_t kRuns = 8;
    std::vector<ProcessResult> results(kRuns);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kRuns; ++i) {
        threads.emplace_back([&results, i] { results[i] = run({L"env", L"sleep", L"300"}); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::set<std::string> directories;
    for (const ProcessResult& result : results) {
        EXPECT_EQ(result.exitCode, 0u) << result.standardError;
        const auto environment = reportedEnvironment(result.standardOutput);
        ASSERT_EQ(environment.count("module"), 1u) << result.standardOutput;
        directories.insert(directoryOf(environment.at("module")));
    }
    EXPECT_EQ(directories.size(), kRuns);
    for (const std::string& directory : directories) {
        EXPECT_FALSE(directoryExists(widen(directory))) << directory;
    }
}

// The child's command line carries the full path where the user typed a
// short name, so it can outgrow the 32768-unit buffer that the user's own
// line fitted. Past the bound the parent ends abnormally after unpacking,
// and deletes its run directory on the way out.
TEST_F(Launcher, TheChildsCommandLineIsBoundedAt32768CodeUnits) {
    // A temp directory of its own: what is left there is this test's.
    const ScratchDirectory temp(L"launcher-temp");
    const std::wstring head = L" exit 0 ";
    const auto runWithChildLength = [&](std::size_t childLength) {
        RunOptions options = testing_support::privateTempOptions(temp.path());
        options.commandLine =
            L"x" + head + std::wstring(childLength - exe_.size() - head.size(), L'a');
        return run({}, options);
    };
    // 32767 units and the terminator fit. Windows refuses a command line
    // that long in CreateProcessW, Wine starts it: either is sound.
    const ProcessResult longest = runWithChildLength(32767);
    if (longest.exitCode == 2) {
        EXPECT_THAT(longest.standardError, StartsWith("Error, couldn't launch child ("));
    } else {
        EXPECT_EQ(longest.exitCode, 0u) << longest.standardError;
    }

    const ProcessResult tooLong = runWithChildLength(32768);
    EXPECT_EQ(tooLong.exitCode, 3u);
    EXPECT_THAT(testing_support::namesIn(temp / L"CorvellinthOnefile"), ::testing::IsEmpty());
}

} // namespace
