// The Linux launcher end to end: packages made by onefile-pack --linux from
// the test application, run as a user runs them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "tests/linux/support/launcher_test.h"

namespace {

using namespace linux_support;

std::string hexOf(const std::string& text) {
    std::string hex;
    char digits[3];
    for (const char byte : text) {
        snprintf(digits, sizeof(digits), "%02x",
                 static_cast<unsigned>(static_cast<unsigned char>(byte)));
        hex += digits;
    }
    return hex;
}

using LinuxLauncher = LauncherTest;
using LinuxLauncherOwnPackage = OwnPackageTest;

TEST_F(LinuxLauncher, ArgumentsReachTheApplicationUnchanged) {
    const std::vector<std::string> arguments = {
        "args", "plain", "with blank", "", "\xc3\xa9t\xc3\xa9", "-x", "a\"b\\", " "};
    const RunResult result = run(arguments);
    ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
    const std::vector<std::string> lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), arguments.size() + 1);
    EXPECT_EQ(lines[0], "arg 0 " + hexOf(package().package()));
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        EXPECT_EQ(lines[index + 1],
                  "arg " + std::to_string(index + 1) + " " + hexOf(arguments[index]));
    }
    expectNothingLeft();
}

TEST_F(LinuxLauncher, ExitStatusIsTheLowEightBitsOfRunCode) {
    const std::map<std::string, int> expected = {{"0", 0},   {"7", 7},    {"255", 255},
                                                 {"256", 0}, {"300", 44}, {"-1", 255}};
    for (const auto& [returned, status] : expected) {
        const RunResult result = run({"exit", returned});
        EXPECT_EQ(exitCodeOf(result.status), status) << "run_code returned " << returned;
    }
    expectNothingLeft();
}

TEST_F(LinuxLauncher, StandardStreamsPassThrough) {
    std::string input;
    for (int line = 0; input.size() < 100 * 1024; ++line) {
        input += "line " + std::to_string(line) + " of the input\n";
    }
    RunOptions options;
    options.input = input;
    const RunResult result = run({"stderr", "to the error stream", "--", "cat"}, options);
    EXPECT_EQ(exitCodeOf(result.status), 0);
    EXPECT_EQ(result.out, input);
    EXPECT_EQ(result.err, "to the error stream\n");
}

TEST_F(LinuxLauncher, ApplicationGetsTheVariablesAndTheUsersDirectory) {
    RunOptions options;
    options.directory = package().scratch();
    options.environment = {"TAMBRO_ONEFILE_START=12345"};
    const std::string invoked = "./package";
    const RunResult result = runProgram(invoked, {"env"}, [&] {
        RunOptions withTemp = options;
        withTemp.environment = package().environment(options.environment);
        return withTemp;
    }());
    ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
    const std::map<std::string, std::string> values = valuesOf(result.out);
    EXPECT_EQ(values.at("cwd"), package().scratch());
    EXPECT_EQ(values.at("TAMBRO_ORIGINAL_ARGV0"), invoked);
    EXPECT_EQ(values.at("TAMBRO_ONEFILE_DIRECTORY"), package().scratch());
    // An inherited start time without a parent is taken over (no
    // TAMBRO_ONEFILE_PARENT: it is not stale).
    EXPECT_EQ(values.at("TAMBRO_ONEFILE_START"), "12345");
    const std::string& parent = values.at("TAMBRO_ONEFILE_PARENT");
    EXPECT_EQ(values.at("module"), package().runs() + "/onefile_" + parent + "_12345/main.so");
    expectNothingLeft();
}

// "<mode> <size> <FNV-1a 64>" as the test application prints it.
std::string describeFile(const std::string& contents, unsigned mode) {
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char byte : contents) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ull;
    }
    char text[64];
    snprintf(text, sizeof(text), "%o %zu %016llx", mode, contents.size(), hash);
    return text;
}

TEST_F(LinuxLauncherOwnPackage, FilesArriveByteForByteWithTheirModesLessTheUmask) {
    std::string binary;
    for (int index = 0; binary.size() < 300000; ++index) {
        binary.push_back(static_cast<char>((static_cast<unsigned>(index) * 7919u) >> 3));
    }
    const std::string accented = "d\xc3\xa9j\xc3\xa0";
    const std::map<std::string, std::pair<std::string, unsigned>> files = {
        {"bin/tool", {"#!/bin/sh\necho tool\n", 0755}},
        {"data/binary", {binary, 0644}},
        {"data/empty", {"", 0600}},
        {"data/" + accented + "/note", {"accents\n", 0666}}};
    for (const std::string& directory :
         {std::string("/bin"), std::string("/data"), "/data/" + accented}) {
        mkdir((package().tree() + directory).c_str(), 0755);
    }
    for (const auto& [path, file] : files) {
        writeFile(package().tree() + "/" + path, file.first, file.second);
    }
    package().pack();
    const mode_t old = umask(027);
    const RunResult result = run({"files"});
    umask(old);
    ASSERT_EQ(exitCodeOf(result.status), 0) << result.err;
    std::map<std::string, std::string> found;
    for (const std::string& line : linesOf(result.out)) {
        const std::size_t path = line.find(' ') + 1;
        const std::size_t rest = line.find(' ', path);
        found[line.substr(path, rest - path)] = line.substr(rest + 1);
    }
    // Executable files get 0755, the others 0644, less the umask (027).
    std::map<std::string, std::string> expected;
    for (const auto& [path, file] : files) {
        expected[path] = describeFile(file.first, (file.second & 0100) != 0 ? 0750 : 0640);
    }
    expected["main.so"] = describeFile(readFile(package().tree() + "/main.so"), 0750);
    EXPECT_EQ(found, expected);
    expectNothingLeft();
}

} // namespace
