// Damaged and hostile packages on Linux: each ends with its message and
// exit code 2 before anything of it runs, and never leaves
// anything behind or writes outside the run directory. Also the launcher's
// own leaks, looked for in a normal and a failed run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <zstd.h>

#include "payload/format.h"
#include "tests/linux/support/launcher_test.h"
#include "tools/packer/attached_writer.h"

namespace {

using ::testing::IsEmpty;
using namespace linux_support;

const char kDecodeMessage[] = "Error, couldn't decode attached data.\n";

class Damaged : public OwnPackageTest {
  protected:
    // A package of the prepared attached data.
    void packAttachedData(const std::string& data) {
        const std::string file = package().scratch() + "/attached";
        writeFile(file, data);
        const RunResult packed =
            runProgram(packerPath(),
                       {"--linux", "--launcher", launcherPath(), "--attached-data", file,
                        "--output", package().package()},
                       {{"ASAN_OPTIONS=detect_leaks=0"}, "", ""});
        ASSERT_EQ(exitCodeOf(packed.status), 0) << packed.err;
    }

    packer::Entry application() { return {u"main.so", readFile(package().tree() + "/main.so")}; }

    static std::string attachedDataOf(const std::vector<packer::Entry>& entries) {
        packer::WriterOptions options;
        options.level = 3;
        return packer::writeAttachedData(entries, options);
    }

    // The package with byte at offset (from the start of its section)
    // changed by mask.
    std::string withByteFlipped(const std::string& original, std::uint64_t sectionOffset,
                                std::uint64_t offset, unsigned char mask) {
        std::string changed = original;
        changed[sectionOffset + offset] = static_cast<char>(changed[sectionOffset + offset] ^ mask);
        return changed;
    }
};

TEST_F(Damaged, AttachedDataCutShortEndsWithTheDecodeMessage) {
    const std::string data =
        attachedDataOf({application(), {u"data\\big", std::string(500000, 'b')}});
    for (const std::size_t length : {data.size() / 4, data.size() / 2, data.size() - 16}) {
        packAttachedData(data.substr(0, length));
        const RunResult result = run({"exit", "0"});
        EXPECT_EQ(exitCodeOf(result.status), 2) << "cut at " << length;
        EXPECT_EQ(result.out, kDecodeMessage);
        expectNothingLeft();
    }
}

TEST_F(Damaged, NoFlippedBitEverRuns) {
    // Mostly bytes that do not compress, after the application: the flips
    // below land behind the application's own compressed bytes, which a
    // flip could turn into an application that crashes.
    std::string noise;
    for (std::uint32_t state = 1; noise.size() < 1500000;) {
        state = state * 1103515245u + 12345u;
        noise.push_back(static_cast<char>(state >> 23));
    }
    writeFile(package().tree() + "/noise", noise);
    package().pack();
    const std::string original = readFile(package().package());
    const auto [offset, size] = sectionOf(package().package(), ".onefile");
    ASSERT_GT(size, noise.size());
    // The frame's magic number, then its second half up to its last byte.
    // Flips that land in literal bytes decode without an error; the frame's
    // content checksum must still refuse them before anything runs. What
    // lies after the frame (its padding and the trailer) is never read.
    const std::size_t frameSize = ZSTD_findFrameCompressedSize(
        original.data() + offset + attached::kHeaderSize, size - attached::kHeaderSize);
    ASSERT_FALSE(ZSTD_isError(frameSize));
    const std::uint64_t frameEnd = attached::kHeaderSize + frameSize;
    std::vector<std::uint64_t> flips{3, frameEnd - 1};
    for (std::uint64_t at = frameEnd / 2; at < frameEnd; at += frameEnd / 10) {
        flips.push_back(at);
    }
    for (const std::uint64_t at : flips) {
        writeFile(package().package(), withByteFlipped(original, offset, at, 0x5A), 0755);
        const RunResult result = run({"exit", "0"});
        EXPECT_EQ(exitCodeOf(result.status), 2) << "flipped at " << at << ": " << result.err;
        EXPECT_EQ(result.out, kDecodeMessage) << "flipped at " << at;
        expectNothingLeft();
    }
}

TEST_F(Damaged, AWrongHeaderIsNoPackage) {
    std::string data = attachedDataOf({application()});
    data[2] = 'X';
    packAttachedData(data);
    const RunResult result = run({"exit", "0"});
    EXPECT_EQ(exitCodeOf(result.status), 2);
    EXPECT_EQ(result.out, "Error, couldn't find attached data header.\n");
    expectNothingLeft();
}

TEST_F(Damaged, NamesThatWouldLeaveTheRunDirectoryAreRefused) {
    // Leaving by "..", empty components (leading, doubled), ".", a '/'
    // inside a name, unpaired surrogates.
    const std::vector<std::u16string> hostile = {
        u"..\\escaped", u"data\\..\\..\\escaped", u"\\escaped", u"a\\\\b", u".", u"a/b", u"\xD800x",
        u"x\xDC00"};
    for (const std::u16string& name : hostile) {
        packAttachedData(attachedDataOf({application(), {name, "hostile"}}));
        const RunResult result = run({"exit", "0"});
        EXPECT_EQ(exitCodeOf(result.status), 2) << result.err;
        EXPECT_EQ(result.out, kDecodeMessage);
        expectNothingLeft();
    }
    EXPECT_FALSE(exists(package().temp() + "/escaped"));
    EXPECT_FALSE(exists(package().temp() + "/CorvellinthOnefile/escaped"));
}

TEST_F(Damaged, ADamagedModesRecordIsDamagedData) {
    writeFile(package().tree() + "/tool", "#!/bin/sh\n", 0755);
    package().pack();
    const std::string original = readFile(package().package());
    const auto [offset, size] = sectionOf(package().package(), ".onefile_modes");
    ASSERT_EQ(size, 12u + 2 * 4u); // main.so and tool
    // The count, then the last index beyond the two entries.
    for (const std::uint64_t at : {std::uint64_t{8}, std::uint64_t{16}}) {
        writeFile(package().package(), withByteFlipped(original, offset, at, 0x40), 0755);
        const RunResult result = run({"exit", "0"});
        EXPECT_EQ(exitCodeOf(result.status), 2) << "changed at " << at;
        EXPECT_EQ(result.out, kDecodeMessage);
        expectNothingLeft();
    }
}

TEST_F(Damaged, NoLeaksInARunOrAFailedOne) {
    package().pack();
    // The suite's environment asks for leak checks; the package's runs
    // usually do without.
    const std::string leakChecks = "ASAN_OPTIONS=detect_leaks=1:exitcode=99";
    const RunResult ran = run({"exit", "4"}, {{leakChecks}, "", ""});
    EXPECT_EQ(exitCodeOf(ran.status), 4) << ran.err;
    packAttachedData(attachedDataOf({application(), {u"..\\x", ""}}));
    const RunResult failed = run({"exit", "0"}, {{leakChecks}, "", ""});
    EXPECT_EQ(exitCodeOf(failed.status), 2) << failed.err;
    expectNothingLeft();
}

} // namespace
