// The walk with the launcher's real portable diagnostics: damaged attached
// data ends the process with exit code 2 and the message on standard output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/native/support/entry_walk.h"
#include "tools/packer/attached_writer.h"

namespace {

// Death tests match standard error; fatalError writes to standard output.
void walkWithOutputOnStandardError(const std::string& data) {
    fflush(stdout);
    dup2(fileno(stderr), fileno(stdout));
    native_support::walkAttachedData(data);
}

TEST(NativeExit, DamagedDataEndsWithExitCodeTwoAndTheMessage) {
    const std::string good = packer::writeAttachedData({{u"main.dll", std::string(4000, 'm')}});
    EXPECT_EXIT(walkWithOutputOnStandardError("KAX" + good.substr(3)), ::testing::ExitedWithCode(2),
                "^Error, couldn't find attached data header\\.\n$");
    EXPECT_EXIT(walkWithOutputOnStandardError(good.substr(0, good.size() / 2)),
                ::testing::ExitedWithCode(2), "^Error, couldn't decode attached data\\.\n$");
}

} // namespace
