// Embedding attached data into a copy of the launcher.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tools/packer/embed.h"
#include "tools/packer/section_alignment.h"

namespace {

using testing_support::binaryDirectory;
using testing_support::fileExists;
using testing_support::ScratchDirectory;

const std::wstring kLauncher = binaryDirectory() + L"\\Corvellinth.exe";

TEST(EmbedAttachedData, ReadsBackByteForByte) {
    ScratchDirectory scratch(L"embed");
    const std::string data("KAY\0\x01\x02\xff", 7);
    std::wstring error;
    ASSERT_TRUE(packer::embedAttachedData(kLauncher, scratch / L"out.exe", data.data(), data.size(),
                                          &error))
        << testing_support::narrow(error);
    std::string back;
    ASSERT_TRUE(packer::extractAttachedData(scratch / L"out.exe", &back, &error));
    EXPECT_EQ(back, data);
}

// Wine maps a section from the file only at a page-aligned offset, else it
// copies the attached data into private memory at every start.
TEST(EmbedAttachedData, PutsTheResourceSectionOnAPageBoundary) {
    ScratchDirectory scratch(L"embed");
    std::string data(300000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>((i * 7919) >> 5);
    }
    std::wstring error;
    // Whether the plain launcher's own section is aligned depends on its
    // size; the packaged copy's must be either way.
    ASSERT_TRUE(packer::embedAttachedData(kLauncher, scratch / L"out.exe", data.data(), data.size(),
                                          &error))
        << testing_support::narrow(error);
    const unsigned offset = packer::resourceSectionFileOffset(scratch / L"out.exe");
    EXPECT_NE(offset, 0u);
    EXPECT_EQ(offset % packer::kPageSize, 0u);
    std::string back;
    ASSERT_TRUE(packer::extractAttachedData(scratch / L"out.exe", &back, &error));
    EXPECT_EQ(back, data);
}

// The resource functions take zero bytes for "delete the resource", which
// would report success and leave a launcher without data behind.
TEST(EmbedAttachedData, EmptyDataIsRefusedWithAReasonAndNoOutput) {
    ScratchDirectory scratch(L"embed");
    std::wstring error;
    EXPECT_FALSE(packer::embedAttachedData(kLauncher, scratch / L"out.exe", "", 0, &error));
    EXPECT_EQ(error, L"the attached data is empty");
    EXPECT_FALSE(fileExists(scratch / L"out.exe"));
}

TEST(EmbedAttachedData, AMissingLauncherLeavesNoOutput) {
    ScratchDirectory scratch(L"embed");
    std::wstring error;
    EXPECT_FALSE(
        packer::embedAttachedData(scratch / L"none.exe", scratch / L"out.exe", "KAY", 3, &error));
    EXPECT_NE(error.find(L"cannot copy the launcher"), std::wstring::npos);
    EXPECT_FALSE(fileExists(scratch / L"out.exe"));
}

} // namespace
