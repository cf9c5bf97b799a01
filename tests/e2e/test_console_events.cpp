// The console launcher in a console of its own under Wine: console events
// reaching the launcher and its application together, and the standard
// streams of a run where nothing is redirected. tests/console's driver
// owns the console (see console_driver.cpp for what it reports).
//
// What Wine 8 delivers: Ctrl+C to a process group, which is what a user's
// Ctrl+C is. Ctrl+Break, close, logoff and shutdown it cannot send; the
// driver runs the system's control routine with them in the application and
// the launcher instead, which is the part of the console's work that the
// launcher sees. Wine's default handler ends a process with exit code 0
// where Windows gives 0xC000013A.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;
using testing_support::binaryDirectory;
using testing_support::ProcessResult;
using testing_support::ScratchDirectory;

constexpr unsigned long kInterrupted = 0xC000013A;

// The driver's "key value" lines; "screen" lines are kept in order apart.
struct Report {
    std::map<std::string, std::string> values;
    std::vector<std::string> screen;
    std::string text;

    unsigned long code(const std::string& key) const {
        const auto found = values.find(key);
        return found == values.end() ? 0xFFFFFFFF : std::stoul(found->second, nullptr, 16);
    }
};

Report parseReport(const std::string& output) {
    Report report;
    report.text = output;
    std::istringstream stream(output);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t blank = line.find(' ');
        const std::string key = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
        if (key == "screen") {
            report.screen.push_back(value);
        } else {
            report.values[key] = value;
        }
    }
    return report;
}

class ConsoleLauncher : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        suite_ = std::make_unique<ScratchDirectory>(L"console-exe");
        const std::string data = packer::writeAttachedData(
            {testing_support::fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll"),
             {u"data\\hello.txt", "hello"}},
            testing_support::kTestWriterOptions);
        exe_ = testing_support::makePackagedExecutableFromAttachedData(
            *suite_ / L"app.exe", data, testing_support::consoleLauncherPath());
    }
    static void TearDownTestSuite() { suite_.reset(); }

    // Runs the packaged console launcher with arguments under the driver,
    // with driverOptions before them; TMP and TEMP point into the scratch
    // directory, so that the run directories can be checked.
    Report drive(const std::vector<std::wstring>& driverOptions,
                 const std::vector<std::wstring>& arguments) {
        std::vector<std::wstring> all = driverOptions;
        all.push_back(exe_);
        all.insert(all.end(), arguments.begin(), arguments.end());
        testing_support::RunOptions options = testing_support::privateTempOptions(temp_);
        options.creationFlags = CREATE_NO_WINDOW;
        const ProcessResult result =
            testing_support::runProcess(binaryDirectory() + L"\\console_driver.exe", all, options);
        EXPECT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
        return parseReport(result.standardOutput);
    }

    // Sends event once the application is ready (it marks readyFile_).
    Report driveEvent(const wchar_t* event, const std::vector<std::wstring>& arguments) {
        return drive({L"--event", event, L"--ready", readyFile_}, arguments);
    }

    // What is left in the scratch TEMP's directory of run directories.
    std::vector<std::wstring> leftRunDirectories() const {
        return testing_support::namesIn(temp_ + L"\\CorvellinthOnefile");
    }

    static inline std::unique_ptr<ScratchDirectory> suite_;
    static inline std::wstring exe_;
    ScratchDirectory scratch_{L"console"};
    std::wstring temp_ = scratch_.path();
    std::wstring readyFile_ = scratch_ / L"ready";
};

// Work after an event: well within a 5 s grace, and halfway between the
// 1 s and the 5 s grace, which tells them apart.
constexpr const wchar_t* kShortWorkMs = L"500";
constexpr const wchar_t* kBetweenGracesMs = L"3000";

// What the application does: installs its handler (or not), marks itself
// ready, then works on.
std::vector<std::wstring> finishesAfterEvent(const std::wstring& ready, const wchar_t* workMs) {
    return {L"on-ctrl", L"mark", ready, L"until-interrupted", workMs, L"exit", L"42"};
}
std::vector<std::wstring> ignoresEvent(const std::wstring& ready) {
    return {L"on-ctrl", L"mark", ready, L"sleep", L"60000"};
}
std::vector<std::wstring> hasNoHandler(const std::wstring& ready) {
    return {L"mark", ready, L"sleep", L"60000"};
}

TEST_F(ConsoleLauncher, CtrlCLetsAnApplicationWithItsOwnHandlerFinishAndPassesItsExitCode) {
    const Report report = driveEvent(L"c", finishesAfterEvent(readyFile_, kShortWorkMs));
    EXPECT_EQ(report.values.count("finished"), 1u) << report.text;
    EXPECT_EQ(report.code("child-exit"), 42u) << report.text;
    EXPECT_EQ(report.code("launcher-exit"), 42u) << report.text;
    EXPECT_THAT(leftRunDirectories(), IsEmpty());
}

// The default handler ends the application: with 0xC000013A on Windows,
// with 0 under Wine 8. Either way the launcher passes on what it ended with.
TEST_F(ConsoleLauncher, CtrlCEndsAnApplicationWithoutHandlerAndTheLauncherEndsAlike) {
    const Report report = driveEvent(L"c", hasNoHandler(readyFile_));
    EXPECT_THAT(report.code("child-exit"), AnyOf(0u, kInterrupted)) << report.text;
    EXPECT_EQ(report.code("launcher-exit"), report.code("child-exit")) << report.text;
    EXPECT_THAT(leftRunDirectories(), IsEmpty());
}

TEST_F(ConsoleLauncher, AnApplicationThatIgnoresCtrlCIsTerminatedAfterFiveSeconds) {
    const Report report = driveEvent(L"c", ignoresEvent(readyFile_));
    EXPECT_EQ(report.code("child-exit"), kInterrupted) << report.text;
    EXPECT_EQ(report.code("launcher-exit"), kInterrupted) << report.text;
    EXPECT_GE(std::stoul(report.values.at("event-to-exit-ms")), 4900u);
    EXPECT_THAT(leftRunDirectories(), IsEmpty());
}

// Ctrl+Break keeps Ctrl+C's 5 s: the application's 3 s of work fit.
TEST_F(ConsoleLauncher, CtrlBreakGivesTheSameGraceAsCtrlC) {
    const Report report = driveEvent(L"break", finishesAfterEvent(readyFile_, kBetweenGracesMs));
    EXPECT_EQ(report.values.at("event"), "1") << report.text;
    EXPECT_EQ(report.code("launcher-exit"), 42u) << report.text;
    EXPECT_THAT(leftRunDirectories(), IsEmpty());
}

// Windows ends everything about 5 s after these events, so the launcher
// gives the application 1 s, not 5: the same 3 s of work are cut short,
// and the directory is gone before the launcher ends.
TEST_F(ConsoleLauncher, CloseLogoffAndShutdownCutTheGraceToOneSecond) {
    for (const auto& [event, type] :
         {std::pair{L"close", "2"}, std::pair{L"logoff", "5"}, std::pair{L"shutdown", "6"}}) {
        SCOPED_TRACE(testing_support::narrow(event));
        DeleteFileW(readyFile_.c_str());
        const Report report = driveEvent(event, finishesAfterEvent(readyFile_, kBetweenGracesMs));
        EXPECT_EQ(report.values.at("event"), type) << report.text;
        EXPECT_EQ(report.values.count("finished"), 0u) << report.text;
        EXPECT_EQ(report.code("child-exit"), kInterrupted) << report.text;
        EXPECT_EQ(report.code("launcher-exit"), kInterrupted) << report.text;
        EXPECT_GE(std::stoul(report.values.at("event-to-exit-ms")), 900u);
        EXPECT_THAT(leftRunDirectories(), IsEmpty());
    }
}

// Started with nothing redirected, the application writes to the console
// itself, in the order it writes; with only standard output redirected it
// gets that redirection and the console for the other two.
TEST_F(ConsoleLauncher, TheApplicationGetsTheConsolesOwnHandlesUnlessRedirected) {
    const std::vector<std::wstring> commands = {L"handles", L"interleave", L"4"};
    const Report console = drive({L"--streams", L"console"}, commands);
    EXPECT_EQ(console.code("launcher-exit"), 0u) << console.text;
    EXPECT_THAT(console.screen,
                IsSupersetOf({"stdin console", "stdout console", "stderr console"}));
    std::vector<std::string> interleaved;
    for (const std::string& line : console.screen) {
        if (line.rfind("out ", 0) == 0 || line.rfind("err ", 0) == 0) {
            interleaved.push_back(line);
        }
    }
    EXPECT_THAT(interleaved, ElementsAre("out 0", "err 1", "out 2", "err 3"));

    const Report mixed = drive({L"--streams", L"mixed"}, commands);
    EXPECT_EQ(mixed.code("launcher-exit"), 0u) << mixed.text;
    EXPECT_EQ(mixed.values.at("stdin"), "console") << mixed.text;
    EXPECT_EQ(mixed.values.at("stdout"), "other");
    EXPECT_EQ(mixed.values.at("stderr"), "console");
    EXPECT_THAT(mixed.screen, IsSupersetOf({"err 1", "err 3"}));
}

} // namespace
