// What killed runs leave, and who removes it: a later start of any package
// deletes the run directories whose lock no one holds, and nothing else.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/linux/support/launcher_test.h"

namespace {

using ::testing::StartsWith;
using ::testing::UnorderedElementsAreArray;
using namespace linux_support;

using Sweep = OwnPackageTest;

// A process id that names no process: one of a child that has ended.
pid_t endedProcessId() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return child;
}

// Starts package with "ready -- pause" in its temporary directory; returns
// when the application runs.
std::unique_ptr<StartedProgram> startPaused(const TestPackage& package, const std::string& temp) {
    RunOptions options;
    options.environment = package.environment({"TMPDIR=" + temp});
    auto started = std::make_unique<StartedProgram>(
        package.package(), std::vector<std::string>{"ready", "--", "pause"}, options);
    EXPECT_THAT(started->readLine(), StartsWith("ready "));
    return started;
}

TEST_F(Sweep, RunsKilledWhileUnpackingAndWhileRunningAreGoneAfterACachedPackagesStart) {
    mkdir((package().tree() + "/data").c_str(), 0755);
    writeFile(package().tree() + "/data/later.txt", "unpacked after the main file\n");
    package().pack();
    // Killed during the run: the application ends with its parent.
    const std::unique_ptr<StartedProgram> killed = startPaused(package(), package().temp());
    kill(killed->pid(), SIGKILL);
    EXPECT_EQ(signalOf(killed->wait().status), SIGKILL);
    std::size_t left = 1;
    // Killed while unpacking: the main file written, the next one not.
    if (canKillWhenCreating()) {
        RunOptions options;
        options.environment = package().environment();
        ASSERT_TRUE(killWhenCreating(package().package(), {"exit", "0"}, options, "later.txt"));
        ++left;
    }
    ASSERT_EQ(namesIn(package().runs()).size(), left);

    // A cached package, which makes no run directory of its own.
    TestPackage other;
    other.pack({"--cache"});
    RunOptions options;
    options.environment = other.environment(
        {"TMPDIR=" + package().temp(), "XDG_CACHE_HOME=" + other.scratch() + "/cache"});
    const RunResult result = runProgram(other.package(), {"exit", "0"}, options);
    EXPECT_EQ(exitCodeOf(result.status), 0) << result.err;
    expectNothingLeft();
}

TEST_F(Sweep, LiveRunsLockedDirectoriesLinksAndLookAlikesStay) {
    package().pack();
    const std::string runs = package().runs();
    // A live run of this package, and one of another.
    const std::unique_ptr<StartedProgram> live = startPaused(package(), package().temp());
    TestPackage other;
    other.pack();
    const std::unique_ptr<StartedProgram> otherLive = startPaused(other, package().temp());
    ASSERT_EQ(namesIn(runs).size(), 2u);
    const std::vector<std::string> liveRuns = namesIn(runs);

    // A run whose process is gone but whose lock is held (as by a run in
    // another container that shares the directory), and one whose process
    // lives but that has no lock yet (a run being created).
    const std::string locked = "onefile_" + std::to_string(endedProcessId()) + "_11";
    const std::string creating = "onefile_" + std::to_string(getpid()) + "_12";
    for (const std::string& name : {locked, creating}) {
        mkdir((runs + "/" + name).c_str(), 0700);
        writeFile(runs + "/" + name + "/file", "kept\n");
    }
    const int lock = open((runs + "/" + locked).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    // Look-alikes: a link named like a run, names that only resemble one.
    const std::string outside = package().scratch() + "/outside";
    mkdir(outside.c_str(), 0700);
    writeFile(outside + "/kept", "kept\n");
    const std::string dead = std::to_string(endedProcessId());
    ASSERT_EQ(symlink(outside.c_str(), (runs + "/onefile_" + dead + "_13").c_str()), 0);
    for (const std::string& name : {std::string("onefile_x_3"), "onefile_" + dead + "_5.bak",
                                    "onefile_0" + dead + "_5", "Onefile_" + dead + "_5"}) {
        mkdir((runs + "/" + name).c_str(), 0700);
    }
    writeFile(runs + "/onefile_" + dead + "_14", "a file\n");
    std::vector<std::string> before = namesIn(runs);

    // This package once more, and the other: each sweeps after its child.
    for (const TestPackage* start : {&package(), &other}) {
        RunOptions options;
        options.environment = start->environment({"TMPDIR=" + package().temp()});
        const RunResult result = runProgram(start->package(), {"exit", "0"}, options);
        EXPECT_EQ(exitCodeOf(result.status), 0) << result.err;
    }
    EXPECT_THAT(namesIn(runs), UnorderedElementsAreArray(before));
    EXPECT_EQ(readFile(outside + "/kept"), "kept\n");

    // Once its lock is let go, the run whose process is gone is swept.
    close(lock);
    const RunResult after = run({"exit", "0"});
    EXPECT_EQ(exitCodeOf(after.status), 0) << after.err;
    std::erase(before, locked);
    EXPECT_THAT(namesIn(runs), UnorderedElementsAreArray(before));

    for (StartedProgram* started : {live.get(), otherLive.get()}) {
        kill(started->pid(), SIGTERM);
        EXPECT_EQ(signalOf(started->wait().status), SIGTERM);
    }
    for (const std::string& name : namesIn(runs)) {
        EXPECT_THAT(liveRuns, ::testing::Not(::testing::Contains(name)));
        removeTree(runs + "/" + name);
    }
}

TEST_F(Sweep, TheApplicationGetsNoDescriptorOfItsRunDirectory) {
    // Its lock is the parent's alone: nothing the application closes or
    // unlocks can let a sweep take its directory.
    package().pack();
    const RunResult result = run({"env", "--", "fds"});
    ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
    const std::string module = valuesOf(result.out).at("module");
    const std::string directory = module.substr(0, module.rfind('/'));
    for (const std::string& line : linesOf(result.out)) {
        if (line.starts_with("fd ")) {
            EXPECT_THAT(line, ::testing::Not(::testing::EndsWith(" " + directory))) << line;
            EXPECT_THAT(line, ::testing::Not(::testing::EndsWith(" " + package().runs()))) << line;
        }
    }
    expectNothingLeft();
}

} // namespace
