// The attached data as the real launcher sees it: packaged executables with
// good and damaged data, run under the test's own process harness.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"
#include "tools/packer/attached_writer.h"
#include "tools/packer/embed.h"

namespace {

using testing_support::binaryDirectory;
using testing_support::ScratchDirectory;

TEST(Packaging, EmbedsTheWrittenAttachedDataUnchanged) {
    ScratchDirectory scratch(L"pack");
    const std::vector<packer::Entry> entries = {
        testing_support::fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll"),
        {u"sub\\x.txt", "x"}};
    const std::wstring exe = testing_support::makePackagedExecutable(scratch / L"app.exe", entries);
    std::string data;
    std::wstring error;
    ASSERT_TRUE(packer::extractAttachedData(exe, &data, &error));
    EXPECT_EQ(data, packer::writeAttachedData(entries, testing_support::kTestWriterOptions));
    EXPECT_THROW(testing_support::fileEntry(u"x", scratch / L"missing"), std::runtime_error);
}

} // namespace
