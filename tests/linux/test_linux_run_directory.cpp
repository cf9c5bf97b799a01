// Where the Linux launcher unpacks, which run directory a start takes, and
// what its end removes: never anything outside the run directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/linux/support/launcher_test.h"

namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using namespace linux_support;

using RunDirectory = LauncherTest;

TEST_F(RunDirectory, LinksPlantedInsideAreRemovedAndTheirTargetsKept) {
    const std::string outside = package().scratch() + "/outside";
    mkdir(outside.c_str(), 0755);
    writeFile(outside + "/kept", "must stay\n");
    writeFile(outside + "/also-kept", "must stay too\n");
    const RunResult result = run({"plant", outside, "--", "exit", "5"});
    EXPECT_EQ(exitCodeOf(result.status), 5) << result.err;
    EXPECT_EQ(readFile(outside + "/kept"), "must stay\n");
    EXPECT_EQ(readFile(outside + "/also-kept"), "must stay too\n");
    struct stat status {};
    ASSERT_EQ(stat((outside + "/kept").c_str(), &status), 0);
    EXPECT_EQ(status.st_nlink, 1u); // the hard link went with the run directory
    expectNothingLeft();
}

TEST_F(RunDirectory, SecondStartFromTheApplicationRunsFromTheSameDirectory) {
    const RunResult result =
        run({"env", "--", "spawn", package().package(), "env", "--", "exit", "3"});
    EXPECT_EQ(exitCodeOf(result.status), 3) << result.err;
    // Each start prints the same six lines: the first's, then the second's.
    const std::vector<std::string> lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), 12u) << result.out;
    std::string first;
    std::string second;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        (index < 6 ? first : second) += lines[index] + "\n";
    }
    const auto firstValues = valuesOf(first);
    const auto secondValues = valuesOf(second);
    EXPECT_EQ(secondValues.at("module"), firstValues.at("module"));
    EXPECT_EQ(secondValues.at("TAMBRO_ONEFILE_PARENT"), firstValues.at("TAMBRO_ONEFILE_PARENT"));
    EXPECT_EQ(secondValues.at("TAMBRO_ONEFILE_START"), firstValues.at("TAMBRO_ONEFILE_START"));
    expectNothingLeft();
}

TEST_F(RunDirectory, StaleParentVariablesMakeAParent) {
    // A live process of another executable (this test), a number with more
    // behind it, a number beyond 32 bits: each start is a parent and
    // replaces both variables.
    for (const std::string& stale :
         {std::to_string(getpid()), std::string("12abc"), std::string("99999999999")}) {
        const RunResult result =
            run({"env"}, {{"TAMBRO_ONEFILE_PARENT=" + stale, "TAMBRO_ONEFILE_START=4242"}, "", ""});
        ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
        const auto values = valuesOf(result.out);
        EXPECT_NE(values.at("TAMBRO_ONEFILE_PARENT"), stale);
        EXPECT_NE(values.at("TAMBRO_ONEFILE_START"), "4242");
        EXPECT_THAT(values.at("module"), StartsWith(package().runs() + "/onefile_" +
                                                    values.at("TAMBRO_ONEFILE_PARENT") + "_"));
    }
    expectNothingLeft();
}

TEST_F(RunDirectory, AnExistingRunDirectoryIsRefusedAndKept) {
    // The shell's process id becomes the launcher's with exec, so the run
    // directory's name is known beforehand.
    const std::string script = "mkdir -p \"$TMPDIR/CorvellinthOnefile/onefile_$$_77\" && "
                               "echo planted >\"$TMPDIR/CorvellinthOnefile/onefile_$$_77/file\" && "
                               "exec \"$0\" env";
    const RunResult result =
        runProgram("/bin/sh", {"-c", script, package().package()},
                   {package().environment({"TAMBRO_ONEFILE_START=77"}), "", ""});
    EXPECT_EQ(exitCodeOf(result.status), 2);
    EXPECT_THAT(result.err,
                HasSubstr("Error, target directory '" + package().runs() + "/onefile_"));
    EXPECT_THAT(result.err, HasSubstr("_77' already exists."));
    const std::vector<std::string> left = namesIn(package().runs());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(readFile(package().runs() + "/" + left[0] + "/file"), "planted\n");
    removeTree(package().runs() + "/" + left[0]);
}

TEST_F(RunDirectory, ALinkInPlaceOfTheRunsDirectoryIsNotUsed) {
    const std::string elsewhere = package().scratch() + "/elsewhere";
    const std::string cache = package().scratch() + "/cache";
    mkdir(elsewhere.c_str(), 0700);
    rmdir(package().runs().c_str());
    ASSERT_EQ(symlink(elsewhere.c_str(), package().runs().c_str()), 0);
    const RunResult result = run({"env"}, {{"XDG_CACHE_HOME=" + cache}, "", ""});
    ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
    EXPECT_THAT(valuesOf(result.out).at("module"), StartsWith(cache + "/CorvellinthOnefile/"));
    EXPECT_THAT(namesIn(elsewhere), IsEmpty());
    EXPECT_THAT(namesIn(cache + "/CorvellinthOnefile"), IsEmpty());
    unlink(package().runs().c_str());
}

TEST_F(RunDirectory, ARunsDirectoryOfAnotherUserIsNotUsed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a directory to another user";
    }
    const std::string cache = package().scratch() + "/cache";
    rmdir(package().runs().c_str());
    mkdir(package().runs().c_str(), 0700);
    ASSERT_EQ(chown(package().runs().c_str(), 65534, 65534), 0);
    const RunResult result = run({"env"}, {{"XDG_CACHE_HOME=" + cache}, "", ""});
    ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
    EXPECT_THAT(valuesOf(result.out).at("module"), StartsWith(cache + "/CorvellinthOnefile/"));
    EXPECT_THAT(namesIn(package().runs()), IsEmpty());
    rmdir(package().runs().c_str());
}

TEST_F(RunDirectory, ATemporaryDirectoryThatMayNotRunCodeSendsTheRunBesideTheCache) {
    const TmpfsMount noexec(package().scratch() + "/noexec", MS_NOEXEC);
    if (!noexec.mounted()) {
        GTEST_SKIP() << "needs root to mount a tmpfs";
    }
    const std::string cache = package().scratch() + "/cache";
    const RunResult result =
        run({"env"}, {{"TMPDIR=" + noexec.path(), "XDG_CACHE_HOME=" + cache}, "", ""});
    ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
    EXPECT_THAT(valuesOf(result.out).at("module"),
                StartsWith(cache + "/CorvellinthOnefile/onefile_"));
    EXPECT_THAT(namesIn(cache + "/CorvellinthOnefile"), IsEmpty());
    EXPECT_THAT(namesIn(noexec.path() + "/CorvellinthOnefile"), IsEmpty());
}

TEST_F(RunDirectory, WithNoPlaceToRunFromTheMessageNamesBoth) {
    const TmpfsMount noexec(package().scratch() + "/noexec", MS_NOEXEC);
    if (!noexec.mounted()) {
        GTEST_SKIP() << "needs root to mount a tmpfs";
    }
    const RunResult result =
        run({"env"},
            {{"TMPDIR=" + noexec.path(), "XDG_CACHE_HOME=" + noexec.path() + "/cache"}, "", ""});
    EXPECT_EQ(exitCodeOf(result.status), 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "Error, couldn't find a directory to run the application from: neither '" +
                  noexec.path() + "/CorvellinthOnefile' nor '" + noexec.path() +
                  "/cache/CorvellinthOnefile' can be used.\n");
}

TEST_F(RunDirectory, AFullDiskEndsWithTheWriteMessageAndLeavesNothing) {
    // Too small for the test application: its file cannot be written whole.
    const TmpfsMount small(package().scratch() + "/small", 0, "64k");
    if (!small.mounted()) {
        GTEST_SKIP() << "needs root to mount a tmpfs";
    }
    const RunResult result = run({"exit", "0"}, {{"TMPDIR=" + small.path()}, "", ""});
    EXPECT_EQ(exitCodeOf(result.status), 2);
    EXPECT_EQ(result.err,
              "Error, couldn't unpack file to target path. ([Error 28] No space left on device)\n");
    EXPECT_THAT(namesIn(small.path() + "/CorvellinthOnefile"), IsEmpty());
}

TEST_F(RunDirectory, TheLauncherWithoutAPackageSaysSo) {
    const RunResult result =
        runProgram(launcherPath(), {},
                   {{"TMPDIR=" + package().temp(), "ASAN_OPTIONS=detect_leaks=0"}, "", ""});
    EXPECT_EQ(exitCodeOf(result.status), 2);
    EXPECT_EQ(result.out, "Error, couldn't find attached data header.\n");
    expectNothingLeft();
}

} // namespace
