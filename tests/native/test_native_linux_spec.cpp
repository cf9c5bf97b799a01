// The unpack spec on Linux: UTF-8 path text with '/' separators, and the
// values the placeholders take from the environment and the system.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "paths/own_program.h"
#include "paths/unpack_spec.h"
#include "resources/product.h"
#include "tests/native/support/launcher_exit.h"

namespace {

constexpr std::size_t kCapacity = 4096;

std::optional<std::string> expand(const char* spec, std::size_t capacity = kCapacity) {
    std::string output(capacity, '\x7f');
    if (!expandUnpackSpec(output.data(), spec, capacity)) {
        return std::nullopt;
    }
    output.resize(output.find('\0'));
    return output;
}

// Sets or removes variables for one test and puts them back afterwards.
class LinuxSpec : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : kTouched) {
            const char* const value = getenv(name);
            saved.emplace_back(name,
                               value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            unsetenv(name);
        }
        recordProgramArguments(1, program);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

    static constexpr const char* kTouched[] = {"TMPDIR", "HOME", "XDG_CACHE_HOME",
                                               "TAMBRO_ONEFILE_PARENT", "TAMBRO_ONEFILE_START"};
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    char programName[32] = "/opt/tool/bin/tool.exe";
    char* program[2] = {programName, nullptr};
};

TEST_F(LinuxSpec, TempIsAnAbsoluteTmpdirElseTmp) {
    EXPECT_EQ(expand("{TEMP}/x"), "/tmp/x");
    setenv("TMPDIR", "/var/tmp/mine//", 1);
    EXPECT_EQ(expand("{TEMP}/x"), "/var/tmp/mine/x");
    setenv("TMPDIR", "relative/tmp", 1);
    EXPECT_EQ(expand("{temp}/x"), "/tmp/x");
}

TEST_F(LinuxSpec, CacheIsAnAbsoluteXdgCacheHomeElseBelowHome) {
    setenv("HOME", "/home/user/", 1);
    EXPECT_EQ(expand("{HOME}"), "/home/user");
    EXPECT_EQ(expand("{CACHE_DIR}/CorvellinthOnefile"), "/home/user/.cache/CorvellinthOnefile");
    setenv("XDG_CACHE_HOME", "/fast/cache", 1);
    EXPECT_EQ(expand("{CACHE_DIR}"), "/fast/cache");
    setenv("XDG_CACHE_HOME", "cache", 1);
    EXPECT_EQ(expand("{CACHE_DIR}"), "/home/user/.cache");
}

TEST_F(LinuxSpec, ProgramPartsCutAtSlashes) {
    EXPECT_EQ(expand("{PROGRAM}"), "/opt/tool/bin/tool.exe");
    EXPECT_EQ(expand("{PROGRAM_BASE}"), "/opt/tool/bin/tool");
    EXPECT_EQ(expand("{PROGRAM_DIR}"), "/opt/tool/bin");
}

TEST_F(LinuxSpec, TheRunDirectoryIsNamedByTheParentAndTheStartTime) {
    setenv("TAMBRO_ONEFILE_PARENT", "4242", 1);
    const std::optional<std::string> first = expand(product::kUnpackSpec);
    ASSERT_TRUE(first);
    const char* const published = getenv("TAMBRO_ONEFILE_START");
    ASSERT_NE(published, nullptr);
    // A count of 100 ns since 1601 has 18 digits from 1973 to 4769.
    EXPECT_EQ(std::string(published).size(), 18u);
    EXPECT_EQ(*first, std::string("/tmp/CorvellinthOnefile/onefile_4242_") + published);
    EXPECT_EQ(expand(product::kUnpackSpec), first);
}

TEST_F(LinuxSpec, WithoutAPublishedParentThePidIsThisProcesss) {
    EXPECT_EQ(expand("{PID}"), std::to_string(getpid()));
    publishOwnProcessId();
    EXPECT_EQ(std::string(getenv("TAMBRO_ONEFILE_PARENT")), std::to_string(getpid()));
    setenv("TAMBRO_ONEFILE_PARENT", "12a", 1);
    try {
        expand("{PID}");
        ADD_FAILURE() << "a parent that is not a number was taken";
    } catch (const native_support::LauncherExit& exit) {
        EXPECT_EQ(exit.exitCode, native_support::kAbnormalExitCode);
    }
}

} // namespace
