// The packer's attached-data writer: the envelope it writes, the frame
// parameters, the checks on names and sizes, and streaming output.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "payload/format.h"
#include "tests/support/files.h"
#include "tools/packer/attached_writer.h"

namespace {

std::uint64_t finalValue(const std::string& data) {
    std::uint64_t value = 0;
    std::memcpy(&value, data.data() + data.size() - 8, 8);
    return value;
}

// Checks the envelope around the frame and returns what the frame decodes to.
std::string openEnvelope(const std::string& data) {
    EXPECT_EQ(data.substr(0, 3), "KAY");
    EXPECT_EQ(finalValue(data), data.size() - 8);
    EXPECT_EQ((data.size() - 8) % 8, 0u);
    const char* const frame = data.data() + attached::kHeaderSize;
    const std::size_t frameSize =
        ZSTD_findFrameCompressedSize(frame, data.size() - attached::kHeaderSize);
    EXPECT_FALSE(ZSTD_isError(frameSize));
    const std::size_t padding = data.size() - 8 - attached::kHeaderSize - frameSize;
    EXPECT_LT(padding, 8u);
    EXPECT_EQ(data.substr(attached::kHeaderSize + frameSize, padding), std::string(padding, '\0'));

    ZSTD_DCtx* const decoder = ZSTD_createDCtx();
    std::string decoded;
    std::vector<char> buffer(1 << 16);
    ZSTD_inBuffer input{frame, frameSize, 0};
    std::size_t left = 1;
    while (left != 0) {
        ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
        left = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(left)) {
            ADD_FAILURE() << ZSTD_getErrorName(left);
            break;
        }
        decoded.append(buffer.data(), output.pos);
    }
    ZSTD_freeDCtx(decoder);
    return decoded;
}

struct Collected {
    std::string bytes;
    packer::AttachedDataWriter::Sink sink() {
        return [this](const void* data, std::size_t size) {
            bytes.append(static_cast<const char*>(data), size);
        };
    }
};

TEST(AttachedWriter, WritesHeaderOneFrameZeroBytesAndTheFinalOffset) {
    const std::vector<packer::Entry> entries = {
        {u"main.dll", testing_support::pseudoRandomBytes(300000, 1)},
        {u"a\\b\\c.txt", std::string(1 << 20, 'c')},
        {u"empty", ""}};
    const std::string data = packer::writeAttachedData(entries, {3, 1, 21});
    EXPECT_EQ(openEnvelope(data), packer::encodeEntryStream(entries));

    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, data.data() + 3, data.size() - 3), 0u);
    EXPECT_EQ(header.frameContentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    EXPECT_EQ(header.checksumFlag, 1u);
    EXPECT_EQ(header.dictID, 0u);
    EXPECT_EQ(header.windowSize, 1u << 21);

    packer::WriterOptions withoutChecksum{3, 1, 21};
    withoutChecksum.checksum = false;
    const std::string plain = packer::writeAttachedData(entries, withoutChecksum);
    ASSERT_EQ(ZSTD_getFrameHeader(&header, plain.data() + 3, plain.size() - 3), 0u);
    EXPECT_EQ(header.checksumFlag, 0u);
    EXPECT_EQ(openEnvelope(plain), packer::encodeEntryStream(entries));
}

TEST(AttachedWriter, EncodesNamesAsUtf16LittleEndianWithSizes) {
    const std::string stream = packer::encodeEntryStream({{u"\u00e9\u4e2d", "xy"}});
    EXPECT_EQ(stream, std::string("\xe9\x00\x2d\x4e\x00\x00"
                                  "\x02\x00\x00\x00\x00\x00\x00\x00"
                                  "xy\x00\x00",
                                  18));
    EXPECT_EQ(packer::encodeEntryStream({}), std::string(2, '\0'));
}

TEST(AttachedWriter, PadsEveryFrameLengthToAMultipleOfEight) {
    for (std::size_t length = 0; length < 16; ++length) {
        const std::string data = packer::wrapFrame(std::string(length, '\x7f'));
        EXPECT_EQ((data.size() - 8) % 8, 0u) << length;
        EXPECT_LT(data.size() - 8 - 3 - length, 8u) << length;
        EXPECT_EQ(finalValue(data), data.size() - 8) << length;
    }
}

TEST(AttachedWriter, RefusesNamesTheLauncherCannotHold) {
    Collected out;
    packer::AttachedDataWriter writer(out.sink(), {1, 1, 21});
    EXPECT_THROW(writer.beginEntry(u"", 0), std::invalid_argument);
    EXPECT_THROW(writer.beginEntry(std::u16string(u"a\0b", 3), 0), std::invalid_argument);
    EXPECT_THROW(writer.beginEntry(std::u16string(1024, u'n'), 0), std::invalid_argument);
    writer.beginEntry(std::u16string(1023, u'n'), 0);
    writer.beginEntryUnchecked(std::u16string(1024, u'n'), 0);
    writer.finish();
    const std::string stream = openEnvelope(out.bytes);
    EXPECT_EQ(stream.size(), 2 * (1024 + 1025) + 2 * 8 + 2);
}

TEST(AttachedWriter, HoldsEveryEntryToItsAnnouncedSize) {
    Collected out;
    packer::AttachedDataWriter writer(out.sink(), {1, 1, 21});
    EXPECT_THROW(writer.addData("x", 1), std::logic_error); // no entry yet
    writer.beginEntry(u"a", 3);
    writer.addData("ab", 2);
    EXPECT_THROW(writer.addData("cd", 2), std::logic_error);
    EXPECT_THROW(writer.beginEntry(u"b", 0), std::logic_error);
    EXPECT_THROW(writer.finish(), std::logic_error);
    writer.addData("c", 1);
    writer.finish();
    EXPECT_THROW(writer.beginEntry(u"c", 0), std::logic_error);
    EXPECT_EQ(openEnvelope(out.bytes), packer::encodeEntryStream({{u"a", "abc"}}));
}

// Pieces of any size and any number of workers give the same bytes; the
// output reaches the sink while data still comes in.
TEST(AttachedWriter, StreamsDeterministicOutput) {
    const std::string content = testing_support::pseudoRandomBytes(20 << 20, 5);
    const auto write = [&](int threads, std::size_t piece, std::uint64_t* beforeFinish) {
        Collected out;
        packer::AttachedDataWriter writer(out.sink(), {1, threads, 21});
        writer.beginEntry(u"big", content.size());
        for (std::size_t at = 0; at < content.size(); at += piece) {
            writer.addData(content.data() + at, std::min(piece, content.size() - at));
        }
        *beforeFinish = writer.compressedBytes();
        EXPECT_EQ(out.bytes.size(), *beforeFinish);
        writer.finish();
        EXPECT_EQ(out.bytes.size(), writer.compressedBytes());
        return out.bytes;
    };
    std::uint64_t before = 0;
    const std::string single = write(1, content.size(), &before);
    EXPECT_GT(before, 16u << 20);
    EXPECT_EQ(write(1, 77777, &before), single);
    const std::string workers = write(2, 1 << 20, &before);
    // How much the workers have finished by now depends on their timing;
    // with a bounded number of jobs in flight some output must be out.
    EXPECT_GT(before, 0u);
    EXPECT_EQ(write(3, 333333, &before), workers);
    EXPECT_EQ(write(0, 1 << 20, &before), workers);
    EXPECT_EQ(openEnvelope(workers), packer::encodeEntryStream({{u"big", content}}));
}

TEST(AttachedWriter, LetsTheSinksFailureThrough) {
    packer::AttachedDataWriter::Sink failing = [](const void*, std::size_t) {
        throw std::runtime_error("disk full");
    };
    EXPECT_THROW(packer::AttachedDataWriter(failing, {}), std::runtime_error);
}

} // namespace
