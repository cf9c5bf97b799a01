// The fixtures of the Linux launcher's end-to-end tests: one package of the
// test application shared by a whole suite (LauncherTest), or a package of
// the test's own that it may add files to before packing
// (OwnPackageTest).
#ifndef CORVELLINTH_TESTS_LINUX_SUPPORT_LAUNCHER_TEST_H
#define CORVELLINTH_TESTS_LINUX_SUPPORT_LAUNCHER_TEST_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/linux/support/linux_package.h"
#include "tests/linux/support/linux_process.h"

namespace linux_support {

// The lines of text, without their line breaks.
std::vector<std::string> linesOf(const std::string& text);

// The "NAME=value" lines of text as a map.
std::map<std::string, std::string> valuesOf(const std::string& text);

class PackageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!exists(launcherPath())) {
            GTEST_SKIP() << launcherPath() << " is not built";
        }
    }

    virtual TestPackage& package() = 0;

    // Runs the package with TMPDIR set to its own temp directory.
    RunResult run(const std::vector<std::string>& arguments, RunOptions options = {}) {
        options.environment = package().environment(options.environment);
        return runProgram(package().package(), arguments, options);
    }

    // Nothing of any run is left where runs unpack.
    void expectNothingLeft() { EXPECT_THAT(namesIn(package().runs()), ::testing::IsEmpty()); }
};

class LauncherTest : public PackageTest {
  protected:
    static void SetUpTestSuite() {
        shared = std::make_unique<TestPackage>();
        if (exists(launcherPath())) {
            shared->pack();
        }
    }
    static void TearDownTestSuite() { shared.reset(); }
    TestPackage& package() override { return *shared; }

  private:
    static inline std::unique_ptr<TestPackage> shared;
};

class OwnPackageTest : public PackageTest {
  protected:
    TestPackage& package() override { return own; }
    TestPackage own;
};

} // namespace linux_support

#endif
