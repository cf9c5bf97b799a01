// Stop signals and endings of the Linux launcher: what reaches the
// parent is passed on to the application once, the parent outlives the
// application to delete the run directory, and ends the way the
// application ended; the application ends with its parent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/linux/support/launcher_test.h"

namespace {

using ::testing::StartsWith;
using namespace linux_support;

class Signals : public LauncherTest {
  protected:
    StartedProgram start(const std::vector<std::string>& arguments) {
        RunOptions options;
        options.environment = package().environment();
        return StartedProgram(package().package(), arguments, options);
    }
};

TEST_F(Signals, SigtermReachesTheApplicationOnceAndItsExitCodeIsTheParents) {
    StartedProgram program =
        start({"on-signals", "--", "ready", "--", "until-signal", "--", "exit", "9"});
    ASSERT_THAT(program.readLine(), StartsWith("ready "));
    kill(program.pid(), SIGTERM);
    EXPECT_EQ(program.readLine(), "signal 15 count 1");
    const RunResult result = program.wait();
    EXPECT_EQ(exitCodeOf(result.status), 9) << result.err;
    expectNothingLeft();
}

TEST_F(Signals, AnApplicationEndedBySignalEndsTheParentBySignal) {
    const RunResult result = run({"raise", std::to_string(SIGUSR1)});
    EXPECT_EQ(signalOf(result.status), SIGUSR1) << result.err;
    expectNothingLeft();
}

TEST_F(Signals, AnApplicationThatIgnoresTheStopIsKilledAfterItsGrace) {
    StartedProgram program = start({"ignore-signals", "--", "ready", "--", "pause"});
    const std::string ready = program.readLine();
    ASSERT_THAT(ready, StartsWith("ready "));
    const pid_t application = std::stoi(ready.substr(6));
    kill(program.pid(), SIGTERM);
    const RunResult result = program.wait();
    // The parent ends by the stop signal it got, once the application is
    // gone and the run directory with it.
    EXPECT_EQ(signalOf(result.status), SIGTERM) << result.err;
    EXPECT_TRUE(awaitProcessEnd(application));
    expectNothingLeft();
}

TEST_F(Signals, TheApplicationEndsWithAKilledParent) {
    StartedProgram program = start({"ready", "--", "pause"});
    const std::string ready = program.readLine();
    ASSERT_THAT(ready, StartsWith("ready "));
    const pid_t application = std::stoi(ready.substr(6));
    kill(program.pid(), SIGKILL);
    EXPECT_EQ(signalOf(program.wait().status), SIGKILL);
    EXPECT_TRUE(awaitProcessEnd(application));
    // Nobody is left to delete the run directory of a killed parent.
    for (const std::string& left : namesIn(package().runs())) {
        removeTree(package().runs() + "/" + left);
    }
}

using StopWhileUnpacking = OwnPackageTest;

TEST_F(StopWhileUnpacking, DeletesWhatWasUnpackedAndEndsBySignal) {
    // Enough to unpack for a while; the stop comes once the run directory
    // has been made, as inotify reports it.
    std::string data;
    for (std::uint32_t state = 7; data.size() < (16u << 20);) {
        state = state * 1103515245u + 12345u;
        data.append(4096, static_cast<char>(state >> 24));
    }
    writeFile(package().tree() + "/large", data);
    package().pack();
    mkdir(package().runs().c_str(), 0700);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, package().runs().c_str(), IN_CREATE), 0);
    RunOptions options;
    options.environment = package().environment();
    StartedProgram program(package().package(), {"exit", "0"}, options);
    pollfd created{watch, POLLIN, 0};
    ASSERT_EQ(poll(&created, 1, 60000), 1);
    kill(program.pid(), SIGTERM);
    close(watch);
    EXPECT_EQ(signalOf(program.wait().status), SIGTERM);
    expectNothingLeft();
}

// Reads the terminal until text has come; false at its end.
bool readTerminalUntil(int terminal, const std::string& text, std::string* seen) {
    while (seen->find(text) == std::string::npos) {
        pollfd watched{terminal, POLLIN, 0};
        char buffer[4096];
        if (poll(&watched, 1, 60000) <= 0) {
            return false;
        }
        const ssize_t got = read(terminal, buffer, sizeof(buffer));
        if (got <= 0) {
            return false;
        }
        seen->append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

// Starts the package with arguments in a terminal of its own, as a shell
// starts a program in the foreground: Ctrl+C there signals the whole
// foreground process group. Returns the terminal's descriptor.
int startInTerminal(const TestPackage& package, const std::vector<std::string>& arguments,
                    pid_t* parent) {
    std::vector<std::string> environment = package.environment();
    std::vector<std::string> argumentTexts{package.package()};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentTexts) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int terminal = -1;
    *parent = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (*parent == 0) {
        for (std::string& setting : environment) {
            putenv(setting.data());
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return terminal;
}

// Waits for the application's "ready" line, then types Ctrl+C.
bool pressCtrlCOnceReady(int terminal, std::string* seen) {
    return readTerminalUntil(terminal, "ready ", seen) && readTerminalUntil(terminal, "\n", seen) &&
           write(terminal, "\x03", 1) == 1;
}

// Waits for the parent's end; closes its terminal; its wait status.
int endOfRunInTerminal(pid_t parent, int terminal) {
    int status = 0;
    EXPECT_EQ(waitpid(parent, &status, 0), parent);
    close(terminal);
    return status;
}

TEST_F(Signals, CtrlCInATerminalReachesTheApplicationOnce) {
    pid_t parent = -1;
    const int terminal = startInTerminal(package(),
                                         {"on-signals", "--", "ready", "--", "until-signal", "--",
                                          "until-signal", "--", "counts", "--", "raise", "2"},
                                         &parent);
    ASSERT_GE(parent, 0);
    std::string seen;
    ASSERT_TRUE(pressCtrlCOnceReady(terminal, &seen)) << seen;
    ASSERT_TRUE(readTerminalUntil(terminal, "signal 2 count 1", &seen)) << seen;
    // Had the parent passed the terminal's SIGINT on as well, the
    // application would have it before this SIGTERM that the parent passes
    // on after it (the lower number is delivered first).
    kill(parent, SIGTERM);
    EXPECT_TRUE(readTerminalUntil(terminal, "counts 1 1 0 0", &seen)) << seen;
    EXPECT_EQ(signalOf(endOfRunInTerminal(parent, terminal)), SIGINT);
    expectNothingLeft();
}

TEST_F(Signals, CtrlCReachesAnApplicationInAProcessGroupOfItsOwn) {
    // The terminal's SIGINT reaches only the parent then: it passes it on.
    pid_t parent = -1;
    const int terminal = startInTerminal(
        package(),
        {"own-group", "--", "on-signals", "--", "ready", "--", "until-signal", "--", "exit", "3"},
        &parent);
    ASSERT_GE(parent, 0);
    std::string seen;
    ASSERT_TRUE(pressCtrlCOnceReady(terminal, &seen)) << seen;
    EXPECT_TRUE(readTerminalUntil(terminal, "signal 2 count 1", &seen)) << seen;
    EXPECT_EQ(exitCodeOf(endOfRunInTerminal(parent, terminal)), 3);
    expectNothingLeft();
}

} // namespace
