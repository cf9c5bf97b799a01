// The attached data as the real launcher sees it: packaged executables with
// damaged or missing data, started as a user would start them. Every
// failure is one line on standard output and exit code 2.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "payload/format.h"
#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"
#include "tools/packer/attached_writer.h"

namespace {

using testing_support::binaryDirectory;
using testing_support::ScratchDirectory;

const std::string kHeaderMessage = "Error, couldn't find attached data header.\r\n";
const std::string kDecodeMessage = "Error, couldn't decode attached data.\r\n";

std::string text(std::size_t count) {
    std::string out;
    for (std::size_t line = 0; out.size() < count; ++line) {
        out += std::to_string(line) + " lines of text that compress into real zstd blocks\r\n";
    }
    out.resize(count);
    return out;
}

std::vector<packer::Entry> application() {
    return {testing_support::fileEntry(u"main.dll", binaryDirectory() + L"\\testapp.dll"),
            {u"data\\notes.txt", text(600000)}};
}

// One frame of stream, with a content checksum when asked.
std::string compressFrame(const std::string& stream, bool checksum = false) {
    ZSTD_CCtx* const context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    std::string frame(ZSTD_compressBound(stream.size()), '\0');
    frame.resize(ZSTD_compress2(context, frame.data(), frame.size(), stream.data(), stream.size()));
    ZSTD_freeCCtx(context);
    return frame;
}

std::string header() {
    return std::string(reinterpret_cast<const char*>(attached::kHeader), attached::kHeaderSize);
}

class AttachedData : public ::testing::Test {
  protected:
    // Runs the launcher with TMP and TEMP in the scratch directory, so that
    // whatever a failed unpack leaves behind goes with it.
    testing_support::ProcessResult run(const std::wstring& executable) {
        testing_support::RunOptions options;
        testing_support::useTempDirectory(&options, scratch_.path());
        options.environment[L"TAMBRO_ONEFILE_PARENT"] = std::nullopt;
        options.timeoutMs = 60000;
        const testing_support::ProcessResult result =
            testing_support::runProcess(executable, {}, options);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    testing_support::ProcessResult runWith(const std::string& attachedData) {
        return run(testing_support::makePackagedExecutableFromAttachedData(scratch_ / L"app.exe",
                                                                           attachedData));
    }

    void expectFailure(const testing_support::ProcessResult& result, const std::string& message) {
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_EQ(result.standardOutput, message);
        EXPECT_EQ(result.standardError, "");
    }

    ScratchDirectory scratch_{L"attached"};
};

TEST(Packaging, EmbedsTheWrittenAttachedDataUnchanged) {
    ScratchDirectory scratch(L"pack");
    const std::vector<packer::Entry> entries = application();
    const std::wstring exe = testing_support::makePackagedExecutable(scratch / L"app.exe", entries);
    const std::string data = testing_support::attachedDataOf(exe);
    EXPECT_EQ(data, packer::writeAttachedData(entries, testing_support::kTestWriterOptions));
    EXPECT_THROW(testing_support::fileEntry(u"x", scratch / L"missing"), std::runtime_error);
}

TEST_F(AttachedData, AWrongHeaderByteIsRefusedBeforeAnythingElse) {
    const std::string good =
        packer::writeAttachedData(application(), testing_support::kTestWriterOptions);
    for (const std::size_t at : {0u, 1u, 2u}) {
        std::string data = good;
        data[at] = at == 2 ? 'X' : 'k';
        expectFailure(runWith(data), kHeaderMessage);
    }
}

TEST_F(AttachedData, NoResourceOrOneTooShortForTheHeaderIsAWrongHeader) {
    expectFailure(run(testing_support::launcherPath()), kHeaderMessage);
    expectFailure(runWith("KA"), kHeaderMessage);
}

TEST_F(AttachedData, AFrameThatIsNotZstdIsADecodeFailure) {
    expectFailure(runWith(packer::wrapFrame("not a zstd frame, only text")), kDecodeMessage);
    expectFailure(runWith("KAY"), kDecodeMessage); // nothing after the header at all
}

TEST_F(AttachedData, DataTruncatedInsideAFileIsADecodeFailure) {
    const std::string good =
        packer::writeAttachedData(application(), testing_support::kTestWriterOptions);
    const std::string frame = good.substr(attached::kHeaderSize);
    const std::size_t frameSize = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
    ASSERT_FALSE(ZSTD_isError(frameSize));
    // The text entry's blocks make up the end of the frame.
    expectFailure(runWith(header() + frame.substr(0, frameSize - 200)), kDecodeMessage);
}

// True when decoding the attached data as the launcher does (everything
// after the header as input, output wanted up to the stream's size) fails.
bool zstdRefuses(const std::string& data, std::size_t streamSize) {
    ZSTD_DCtx* const decoder = ZSTD_createDCtx();
    std::string output(streamSize, '\0');
    ZSTD_inBuffer in{data.data() + attached::kHeaderSize, data.size() - attached::kHeaderSize, 0};
    ZSTD_outBuffer out{output.data(), output.size(), 0};
    bool refused = false;
    while (!refused && out.pos < out.size) {
        const std::size_t before = in.pos + out.pos;
        refused = ZSTD_isError(ZSTD_decompressStream(decoder, &out, &in));
        if (!refused && in.pos + out.pos == before) {
            refused = in.pos == in.size; // stuck: the input ended first
            break;
        }
    }
    ZSTD_freeDCtx(decoder);
    return refused;
}

// The offset of the content of the frame's first compressed block (block
// type 2) in data, 0 when there is none.
std::size_t firstCompressedBlock(const std::string& data) {
    const char* const frame = data.data() + attached::kHeaderSize;
    const std::size_t frameSize = data.size() - attached::kHeaderSize;
    std::size_t at = ZSTD_frameHeaderSize(frame, frameSize);
    while (!ZSTD_isError(at) && at + 3 <= frameSize) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(frame[at + i]); };
        const std::uint32_t blockHeader = byte(0) | (byte(1) << 8) | (byte(2) << 16);
        const std::uint32_t type = (blockHeader >> 1) & 3;
        const std::uint32_t size = type == 1 ? 1 : blockHeader >> 3; // RLE: one byte
        if (type == 2) {
            return attached::kHeaderSize + at + 3;
        }
        if (blockHeader & 1) {
            break;
        }
        at += 3 + size;
    }
    return 0;
}

// A flip that the decoder refuses in the block itself, before the frame's
// checksum is reached: the test flips the first such bit of a compressed
// block.
TEST_F(AttachedData, AFlippedBitInACompressedBlockIsADecodeFailure) {
    const std::vector<packer::Entry> entries = application();
    const std::size_t streamSize = packer::encodeEntryStream(entries).size();
    std::string data = packer::writeAttachedData(entries, testing_support::kTestWriterOptions);
    ASSERT_FALSE(zstdRefuses(data, streamSize));
    const std::size_t block = firstCompressedBlock(data);
    ASSERT_NE(block, 0u);
    bool flipped = false;
    for (std::size_t bit = block * 8; !flipped && bit < data.size() * 8; ++bit) {
        data[bit / 8] = static_cast<char>(data[bit / 8] ^ (1 << (bit % 8)));
        flipped = zstdRefuses(data, streamSize);
        if (!flipped) {
            data[bit / 8] = static_cast<char>(data[bit / 8] ^ (1 << (bit % 8)));
        }
    }
    ASSERT_TRUE(flipped);
    expectFailure(runWith(data), kDecodeMessage);
}

// The frame ends but the launcher wants the next entry's name: the bytes
// after the frame are no frame, and without them there is no input left.
TEST_F(AttachedData, AStreamWithoutEndMarkerIsADecodeFailure) {
    std::string stream = packer::encodeEntryStream(application());
    stream.resize(stream.size() - 2);
    const std::string frame = compressFrame(stream);
    expectFailure(runWith(packer::wrapFrame(frame)), kDecodeMessage);
    expectFailure(runWith(header() + frame), kDecodeMessage);
}

// The frame's content checksum (the packer writes one by default): a wrong
// one ends the run with the decode message before the application starts,
// and its run directory goes; a frame without one, as other writers may
// make it, runs.
TEST_F(AttachedData, AWrongChecksumIsADecodeFailureAndAFrameWithoutOneRuns) {
    std::string data =
        packer::writeAttachedData(application(), testing_support::kTestWriterOptions);
    const std::size_t frameEnd =
        attached::kHeaderSize + ZSTD_findFrameCompressedSize(data.data() + attached::kHeaderSize,
                                                             data.size() - attached::kHeaderSize);
    data[frameEnd - 1] = static_cast<char>(data[frameEnd - 1] ^ 0x10);
    expectFailure(runWith(data), kDecodeMessage);
    EXPECT_THAT(testing_support::namesIn(scratch_ / L"CorvellinthOnefile"), ::testing::IsEmpty());

    packer::WriterOptions withoutChecksum = testing_support::kTestWriterOptions;
    withoutChecksum.checksum = false;
    const testing_support::ProcessResult result =
        runWith(packer::writeAttachedData(application(), withoutChecksum));
    EXPECT_EQ(result.exitCode, 0u) << result.standardOutput << result.standardError;
}

// The frame goes on after the entry stream's end marker (damage that ended
// the stream early, say), with or without a checksum, right or wrong; or it
// stops after the end marker, without the checksum it announces. Either is
// damage: nothing runs.
TEST_F(AttachedData, AFrameThatDoesNotEndWithTheEndMarkerIsADecodeFailure) {
    const std::string stream = packer::encodeEntryStream(application());
    for (const bool checksum : {false, true}) {
        SCOPED_TRACE(checksum);
        std::string frame = compressFrame(stream + "more after the end", checksum);
        expectFailure(runWith(packer::wrapFrame(frame)), kDecodeMessage);
        if (checksum) {
            frame.back() = static_cast<char>(frame.back() ^ 1);
            expectFailure(runWith(packer::wrapFrame(frame)), kDecodeMessage);
        }
    }
    const std::string frame = compressFrame(stream, true);
    expectFailure(runWith(header() + frame.substr(0, frame.size() - 4)), kDecodeMessage);
}

TEST_F(AttachedData, AWindowBeyond128MiBIsADecodeFailure) {
    expectFailure(runWith(packer::writeAttachedData(application(), {3, 1, 28})), kDecodeMessage);
}

TEST_F(AttachedData, ANameOf1024CodeUnitsIsADecodeFailure) {
    std::string data;
    packer::AttachedDataWriter writer(
        [&data](const void* bytes, std::size_t size) {
            data.append(static_cast<const char*>(bytes), size);
        },
        testing_support::kTestWriterOptions);
    const packer::Entry main = application()[0];
    writer.beginEntry(main.name, main.data.size());
    writer.addData(main.data.data(), main.data.size());
    writer.beginEntryUnchecked(std::u16string(attached::kNameCapacity, u'n'), 1);
    writer.addData("n", 1);
    writer.finish();
    expectFailure(runWith(data), kDecodeMessage);
}

} // namespace
