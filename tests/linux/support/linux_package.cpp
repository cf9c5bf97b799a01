#include "tests/linux/support/linux_package.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace linux_support {

std::string launcherPath() {
    return CORVELLINTH_LINUX_LAUNCHER;
}

std::string packerPath() {
    return ONEFILE_PACK_PATH;
}

void stageTestApplication(const std::string& directory) {
    mkdir(directory.c_str(), 0755);
    writeFile(directory + "/main.so", readFile(CORVELLINTH_LINUX_TESTAPP), 0755);
}

void packDirectory(const std::string& directory, const std::string& output,
                   const std::vector<std::string>& extraOptions) {
    std::vector<std::string> arguments{"--linux",  "--launcher", launcherPath(), "--main",
                                       "main.so", "--output",   output,         "--quiet",
                                       "--level", "3"};
    arguments.insert(arguments.end(), extraOptions.begin(), extraOptions.end());
    arguments.push_back(directory);
    const RunResult packed = runProgram(packerPath(), arguments);
    ASSERT_EQ(exitCodeOf(packed.status), 0) << packed.err;
}

TestPackage::TestPackage()
    : tree_(scratch_.path() + "/tree"), temp_(scratch_.path() + "/temp"),
      package_(scratch_.path() + "/package") {
    stageTestApplication(tree_);
    mkdir(temp_.c_str(), 0755);
}

void TestPackage::pack(const std::vector<std::string>& extraOptions) {
    packDirectory(tree_, package_, extraOptions);
}

std::vector<std::string> TestPackage::environment(const std::vector<std::string>& changes) const {
    // Leak checks cost each process a fifth of a second here; the tests
    // that look for leaks ask for them.
    std::vector<std::string> result{"TMPDIR=" + temp_, "ASAN_OPTIONS=detect_leaks=0"};
    result.insert(result.end(), changes.begin(), changes.end());
    return result;
}

} // namespace linux_support
