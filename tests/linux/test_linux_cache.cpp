// Cached packages on Linux: the copy is made once, checked from its listing
// at every later start, restored when damaged, replaced by a rebuilt
// package's, shared by starts that race, and given up for the temporary
// directory when the cache folder cannot take it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>

#include "tests/linux/support/launcher_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::StartsWith;
using namespace linux_support;

const std::vector<std::string> kCacheOptions{"--cache", "--company", "Acme", "--product", "Tool"};

// Everything below path that a start could change: each entry's inode,
// size, and modification and change times.
std::map<std::string, std::string> snapshotOf(const std::string& path) {
    std::map<std::string, std::string> entries;
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return entries;
    }
    entries[path] =
        std::to_string(status.st_ino) + " " + std::to_string(status.st_size) + " " +
        std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec) + " " +
        std::to_string(status.st_ctim.tv_sec) + "." + std::to_string(status.st_ctim.tv_nsec);
    if (S_ISDIR(status.st_mode)) {
        for (const std::string& name : namesIn(path)) {
            entries.merge(snapshotOf(path + "/" + name));
        }
    }
    return entries;
}

// The "file ..." lines of the files command, sorted, the marker left out.
std::vector<std::string> sortedFiles(const std::string& out) {
    std::vector<std::string> files;
    for (const std::string& line : linesOf(out)) {
        if (line.starts_with("file ") && !line.starts_with("file .onefile-cache ")) {
            files.push_back(line);
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class Cache : public OwnPackageTest {
  protected:
    void SetUp() override {
        OwnPackageTest::SetUp();
        mkdir((package().tree() + "/data").c_str(), 0755);
        writeFile(package().tree() + "/data/one.txt", "the first file\n");
        writeFile(package().tree() + "/data/two.txt", "the second file, a little longer\n");
    }

    std::string cacheHome() { return package().scratch() + "/cache"; }
    std::string folder() { return cacheHome() + "/CorvellinthOnefile/Acme/Tool"; }

    // The package's own temporary directory, and a cache folder of its own.
    RunOptions cachedOptions() {
        RunOptions options;
        options.environment = package().environment({"XDG_CACHE_HOME=" + cacheHome()});
        return options;
    }

    RunResult runCached(const std::vector<std::string>& arguments,
                        const std::string& packagePath = "") {
        return runProgram(packagePath.empty() ? package().package() : packagePath, arguments,
                          cachedOptions());
    }

    // The one copy in the cache folder (its path); fails the test otherwise.
    std::string onlyCopy() {
        const std::vector<std::string> names = namesIn(folder());
        EXPECT_THAT(names, ElementsAre(MatchesRegex("[0-9a-f]{32}")));
        return names.empty() ? "" : folder() + "/" + names[0];
    }
};

TEST_F(Cache, ASecondStartWritesNothingSeesEveryFileAndRunsInTheFirstProcess) {
    package().pack(kCacheOptions);
    const RunResult first = runCached({"files"});
    ASSERT_EQ(exitCodeOf(first.status), 0) << first.err;
    const std::string copy = onlyCopy();
    const auto before = snapshotOf(cacheHome());
    // Once more, and a second start from inside the application: both run
    // from the copy, in the process that the package started.
    const RunResult second =
        runCached({"files", "--", "env", "--", "spawn", package().package(), "env"});
    ASSERT_EQ(exitCodeOf(second.status), 0) << second.err;
    EXPECT_EQ(sortedFiles(second.out), sortedFiles(first.out));
    EXPECT_EQ(sortedFiles(second.out).size(), 3u);
    EXPECT_EQ(snapshotOf(cacheHome()), before);
    const std::vector<std::string> lines = linesOf(second.out);
    std::string firstEnv;
    std::string secondEnv;
    for (const std::string& line : lines) {
        if (!line.starts_with("file ")) {
            (valuesOf(firstEnv).count("module") == 0 ? firstEnv : secondEnv) += line + "\n";
        }
    }
    EXPECT_EQ(valuesOf(firstEnv).at("module"), copy + "/main.so");
    EXPECT_EQ(valuesOf(secondEnv).at("module"), copy + "/main.so");
    EXPECT_EQ(valuesOf(secondEnv).at("TAMBRO_ONEFILE_PARENT"),
              valuesOf(firstEnv).at("TAMBRO_ONEFILE_PARENT"));
    expectNothingLeft();
}

TEST_F(Cache, DeletedTruncatedAndRewrittenFilesAreRestored) {
    package().pack(kCacheOptions);
    const RunResult first = runCached({"files"});
    ASSERT_EQ(exitCodeOf(first.status), 0) << first.err;
    const std::string copy = onlyCopy();
    const std::vector<std::pair<std::string, std::string>> damages = {
        {"deleted", "rm \"$0/data/one.txt\""},
        {"truncated", ": >\"$0/data/two.txt\""},
        // Same size, the modification time put back: only the change time
        // tells.
        {"rewritten", "t=$(stat -c %y \"$0/data/two.txt\"); printf 'THE SECOND FILE, A LITTLE "
                      "LONGER\\n' >\"$0/data/two.txt\"; touch -d \"$t\" \"$0/data/two.txt\""},
    };
    for (const auto& [what, script] : damages) {
        const RunResult damage = runProgram("/bin/sh", {"-c", script, copy});
        ASSERT_EQ(exitCodeOf(damage.status), 0) << what << ": " << damage.err;
        const RunResult again = runCached({"files"});
        ASSERT_EQ(exitCodeOf(again.status), 0) << what << ": " << again.err;
        EXPECT_EQ(sortedFiles(again.out), sortedFiles(first.out)) << what;
        EXPECT_EQ(onlyCopy(), copy) << what;
    }
    expectNothingLeft();
}

TEST_F(Cache, ARebuiltPackageRunsItsOwnContentAndTheOldCopyGoesOnceNotInUse) {
    package().pack(kCacheOptions);
    const RunResult old = runCached({"files"});
    ASSERT_EQ(exitCodeOf(old.status), 0) << old.err;
    const std::string oldCopy = onlyCopy();
    // The old build keeps running while the new one starts.
    const RunOptions options = cachedOptions();
    StartedProgram running(package().package(), {"ready", "--", "pause"}, options);
    ASSERT_THAT(running.readLine(), StartsWith("ready "));

    writeFile(package().tree() + "/data/two.txt", "changed in the new build\n");
    const std::string rebuilt = package().scratch() + "/rebuilt";
    packDirectory(package().tree(), rebuilt, kCacheOptions);
    const RunResult fresh = runCached({"files"}, rebuilt);
    ASSERT_EQ(exitCodeOf(fresh.status), 0) << fresh.err;
    EXPECT_NE(sortedFiles(fresh.out), sortedFiles(old.out));
    EXPECT_THAT(fresh.out, ::testing::HasSubstr("file data/two.txt 644 25 "));
    EXPECT_EQ(namesIn(folder()).size(), 2u); // the old copy is in use

    kill(running.pid(), SIGTERM);
    EXPECT_EQ(signalOf(running.wait().status), SIGTERM);
    ASSERT_EQ(exitCodeOf(runCached({"exit", "0"}, rebuilt).status), 0);
    EXPECT_NE(onlyCopy(), oldCopy);
    expectNothingLeft();
}

TEST_F(Cache, ADamagedCopyWhoseMarkerHasAnotherLinkIsNeitherWrittenNorRemoved) {
    package().pack(kCacheOptions);
    ASSERT_EQ(exitCodeOf(runCached({"exit", "0"}).status), 0);
    const std::string copy = onlyCopy();
    const std::string precious = package().scratch() + "/precious";
    writeFile(precious, "the user's own file\n");
    ASSERT_EQ(unlink((copy + "/.onefile-cache").c_str()), 0);
    ASSERT_EQ(link(precious.c_str(), (copy + "/.onefile-cache").c_str()), 0);
    const RunResult result = runCached({"env"});
    ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
    EXPECT_THAT(valuesOf(result.out).at("module"), StartsWith(package().runs() + "/onefile_"));
    EXPECT_EQ(readFile(precious), "the user's own file\n");
    EXPECT_EQ(onlyCopy(), copy);
    EXPECT_TRUE(exists(copy + "/main.so"));
    expectNothingLeft();
}

TEST_F(Cache, EightFirstStartsAtOnceLeaveOneCopyAndNothingElse) {
    package().pack(kCacheOptions);
    const RunOptions options = cachedOptions();
    std::vector<std::unique_ptr<StartedProgram>> starts;
    for (int start = 0; start < 8; ++start) {
        starts.push_back(std::make_unique<StartedProgram>(
            package().package(), std::vector<std::string>{"exit", "7"}, options));
    }
    for (const auto& start : starts) {
        const RunResult result = start->wait();
        EXPECT_EQ(exitCodeOf(result.status), 7) << result.err;
    }
    const std::string copy = onlyCopy();
    EXPECT_THAT(namesIn(copy),
                ::testing::UnorderedElementsAre(".onefile-cache", "main.so", "data"));
    expectNothingLeft();
}

TEST_F(Cache, AReadOnlyOrFullCacheFolderSendsTheRunToTheTemporaryDirectory) {
    package().pack(kCacheOptions);
    const TmpfsMount readOnly(package().scratch() + "/read-only", MS_RDONLY);
    const TmpfsMount full(package().scratch() + "/full", 0, "96k");
    if (!readOnly.mounted() || !full.mounted()) {
        GTEST_SKIP() << "needs root to mount a tmpfs";
    }
    for (const TmpfsMount* mount : {&readOnly, &full}) {
        RunOptions options;
        options.environment = package().environment({"XDG_CACHE_HOME=" + mount->path()});
        const RunResult result =
            runProgram(package().package(), {"env", "--", "exit", "4"}, options);
        EXPECT_EQ(exitCodeOf(result.status), 4) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_THAT(valuesOf(result.out).at("module"), StartsWith(package().runs() + "/onefile_"));
        // The new copy that did not fit is gone, and nothing else is there.
        const std::string cacheFolder = mount->path() + "/CorvellinthOnefile/Acme/Tool";
        EXPECT_THAT(namesIn(cacheFolder), IsEmpty());
    }
    expectNothingLeft();
}

TEST_F(Cache, AFirstStartKilledWhileUnpackingIsCleanedUpByTheNext) {
    if (!canKillWhenCreating()) {
        GTEST_SKIP() << "the tracing that stops a start at a file's creation is x86-64 only";
    }
    package().pack(kCacheOptions);
    const RunOptions options = cachedOptions();
    ASSERT_TRUE(killWhenCreating(package().package(), {"exit", "0"}, options, "two.txt"));
    EXPECT_THAT(namesIn(folder()), ElementsAre(StartsWith("onefile_")));
    const RunResult next = runCached({"files"});
    ASSERT_EQ(exitCodeOf(next.status), 0) << next.err;
    EXPECT_EQ(sortedFiles(next.out).size(), 3u);
    onlyCopy();
}

} // namespace
