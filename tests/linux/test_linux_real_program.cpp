// A real program packaged: zstd's command-line program, built from the
// Debian source package in .deps/zstd into a run_code shared object, runs
// from its package exactly as the same program run directly: the same
// output bytes, messages and exit codes.
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

#include "tests/linux/support/linux_package.h"
#include "tests/linux/support/linux_process.h"

namespace {

using namespace linux_support;

class RealProgram : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        work = std::make_unique<ScratchDirectory>();
        // Both are called "zstd", which the program names itself after in
        // its messages.
        const std::string tree = work->path() + "/tree";
        mkdir(tree.c_str(), 0755);
        writeFile(tree + "/main.so", readFile(ZSTD_APP_PATH), 0755);
        mkdir((work->path() + "/packaged").c_str(), 0755);
        mkdir((work->path() + "/direct").c_str(), 0755);
        packDirectory(tree, packaged(), {});
        writeFile(direct(), readFile(ZSTD_DIRECT_PATH), 0755);
        mkdir((work->path() + "/temp").c_str(), 0755);
        std::string text;
        for (int line = 0; text.size() < 400000; ++line) {
            text += "line " + std::to_string(line) + ": " + std::to_string(line * 7) + "\n";
        }
        writeFile(work->path() + "/input.txt", text);
    }
    static void TearDownTestSuite() { work.reset(); }

    static std::string packaged() { return work->path() + "/packaged/zstd"; }
    static std::string direct() { return work->path() + "/direct/zstd"; }

    // Runs both with the same arguments, input and directory; expects the
    // same result, and returns it.
    RunResult runBoth(const std::vector<std::string>& arguments, const std::string& input = "") {
        RunOptions options;
        options.directory = work->path();
        options.input = input;
        options.environment = {"TMPDIR=" + work->path() + "/temp", "ASAN_OPTIONS=detect_leaks=0"};
        const RunResult fromPackage = runProgram(packaged(), arguments, options);
        const RunResult directly = runProgram(direct(), arguments, options);
        EXPECT_EQ(fromPackage.status, directly.status);
        EXPECT_EQ(fromPackage.out, directly.out);
        EXPECT_EQ(fromPackage.err, directly.err);
        EXPECT_TRUE(namesIn(work->path() + "/temp/CorvellinthOnefile").empty());
        return directly;
    }

    static inline std::unique_ptr<ScratchDirectory> work;
};

TEST_F(RealProgram, CompressesAndDecompressesAlike) {
    const RunResult compressed = runBoth({"-q", "-c", "-5", "-T2", "input.txt"});
    EXPECT_EQ(exitCodeOf(compressed.status), 0);
    ASSERT_GT(compressed.out.size(), 0u);
    const RunResult decompressed = runBoth({"-q", "-d", "-c"}, compressed.out);
    EXPECT_EQ(decompressed.out, readFile(work->path() + "/input.txt"));
}

TEST_F(RealProgram, WritesFilesAndReportsAlike) {
    // Into the user's directory, not the run directory: each run writes
    // the same file, and lists it the same way.
    const RunResult written = runBoth({"-q", "-f", "-3", "input.txt", "-o", "out.zst"});
    EXPECT_EQ(exitCodeOf(written.status), 0);
    const RunResult listed = runBoth({"-l", "out.zst"});
    EXPECT_EQ(exitCodeOf(listed.status), 0);
    EXPECT_NE(listed.out.find("out.zst"), std::string::npos) << listed.out;
}

TEST_F(RealProgram, FailsAlike) {
    const RunResult missing = runBoth({"-d", "no-such-file.zst"});
    EXPECT_EQ(exitCodeOf(missing.status), 1);
    const RunResult damaged = runBoth({"-d", "-c"}, "not a frame at all");
    EXPECT_NE(exitCodeOf(damaged.status), 0);
    const RunResult unknownOption = runBoth({"--no-such-option"});
    EXPECT_NE(exitCodeOf(unknownOption.status), 0);
}

} // namespace
