// The reader, the header check and the name checks under the sanitizers:
// good packages walk to the end marker with every entry intact, damaged ones
// end with the header or the decode message and never read out of bounds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "payload/format.h"
#include "payload/reader.h"
#include "tests/native/support/decoding_oracle.h"
#include "tests/native/support/entry_stream_model.h"
#include "tests/native/support/entry_walk.h"
#include "tests/native/support/launcher_exit.h"
#include "tests/native/support/test_bytes.h"
#include "tools/packer/attached_writer.h"

namespace {

using native_support::kDecodeMessage;
using native_support::kHeaderMessage;
using native_support::pseudoRandomBytes;
using native_support::walkAttachedData;
using native_support::WalkResult;

constexpr packer::WriterOptions kFast{3, 1, 21};

// Attached data around a raw entry stream that the writer would refuse.
std::string packStream(const std::string& stream) {
    std::string frame(ZSTD_compressBound(stream.size()), '\0');
    frame.resize(ZSTD_compress(frame.data(), frame.size(), stream.data(), stream.size(), 3));
    return packer::wrapFrame(frame);
}

std::vector<native_support::WalkedEntry>
expectedEntries(const std::vector<packer::Entry>& entries) {
    return native_support::modelEntryStream(packer::encodeEntryStream(entries)).entries;
}

std::size_t frameSize(const std::string& attachedData) {
    return ZSTD_findFrameCompressedSize(attachedData.data() + attached::kHeaderSize,
                                        attachedData.size() - attached::kHeaderSize);
}

// Entries sized so that the second size field straddles the first window
// boundary and the data runs over several windows, with an empty file, a
// deep name and a repeated name.
std::vector<packer::Entry> sampleEntries() {
    const std::size_t firstHead = 4 + attached::kSizeFieldSize; // u"a", terminator, size
    const std::size_t straddle = attached::kWindowSize - firstHead - 4 - 4;
    return {{u"a", pseudoRandomBytes(straddle, 1)},
            {u"b", pseudoRandomBytes(3 * attached::kWindowSize + 17, 2)},
            {u"empty.txt", ""},
            {u"d1\\d2\\d3\\d4\\d5\\d6\\d7\\d8\\d9\\deep.txt", "deep"},
            {u"a", "again"}};
}

TEST(NativeWalk, AGoodPackageGivesBackEveryEntry) {
    const std::vector<packer::Entry> entries = sampleEntries();
    const std::string data = packer::writeAttachedData(entries, kFast);
    const WalkResult walk = walkAttachedData(data);
    EXPECT_EQ(walk.exitCode, 0) << walk.message;
    EXPECT_EQ(walk.entries, expectedEntries(entries));

    // Neither the zero bytes nor the final value are read: without them, or
    // with anything at all in their place, the walk is the same.
    const std::string frameOnly = data.substr(0, attached::kHeaderSize + frameSize(data));
    EXPECT_EQ(walkAttachedData(frameOnly).entries, walk.entries);
    EXPECT_EQ(walkAttachedData(frameOnly + pseudoRandomBytes(100, 3)).entries, walk.entries);
}

TEST(NativeWalk, OnlyTheEndMarkerIsAValidEmptyPackage) {
    const WalkResult walk = walkAttachedData(packer::writeAttachedData({}, kFast));
    EXPECT_EQ(walk.exitCode, 0);
    EXPECT_TRUE(walk.entries.empty());
}

TEST(NativeWalk, FramesThatProduceNothingAreSkipped) {
    // A skippable frame first: the decoder consumes it and produces nothing
    // while input remains, which must lead to another call, not to an error.
    std::string skippable = "\x50\x2A\x4D\x18\x04";
    skippable += std::string("\0\0\0", 3) + "zzzz";
    const std::vector<packer::Entry> entries = {{u"x.txt", "x"}};
    const std::string data = packer::writeAttachedData(entries, kFast);
    const WalkResult walk = walkAttachedData("KAY" + skippable + data.substr(3));
    EXPECT_EQ(walk.exitCode, 0) << walk.message;
    EXPECT_EQ(walk.entries, expectedEntries(entries));
}

TEST(NativeWalk, ReadsLargerThanTheWindowAreAssembled) {
    const std::string stream = pseudoRandomBytes(2 * attached::kWindowSize + 5, 4);
    const std::string data = packStream(stream);
    createReader(reinterpret_cast<const unsigned char*>(data.data()) + 3, data.size() - 3);
    std::string out(stream.size(), '\0');
    readAttachedBytes(out.data(), 1);
    readAttachedBytes(out.data() + 1, out.size() - 1);
    releaseReader();
    EXPECT_EQ(out, stream);
}

TEST(NativeWalk, EveryTruncationEndsWithTheHeaderOrTheDecodeMessage) {
    const std::vector<packer::Entry> entries = {{u"main.dll", pseudoRandomBytes(3000, 5)},
                                                {u"sub\\text.txt", std::string(5000, 't')}};
    const std::string data = packer::writeAttachedData(entries, kFast);
    const std::size_t frameEnd = attached::kHeaderSize + frameSize(data);
    // Every length near the start and the frame's end, every seventh between.
    for (std::size_t length = 0; length <= data.size();
         length += (length < 64 || length + 64 > frameEnd) ? 1 : 7) {
        SCOPED_TRACE("length " + std::to_string(length));
        const WalkResult walk = walkAttachedData(std::string_view(data).substr(0, length));
        if (length < attached::kHeaderSize) {
            EXPECT_EQ(walk.message, kHeaderMessage);
        } else if (length >= frameEnd) {
            EXPECT_EQ(walk.exitCode, 0);
            EXPECT_EQ(walk.entries, expectedEntries(entries));
        } else {
            EXPECT_EQ(walk.message, kDecodeMessage);
            EXPECT_EQ(walk.exitCode, native_support::kFatalExitCode);
        }
    }
}

TEST(NativeWalk, EverySingleBitFlipIsDecodedOrRejected) {
    const std::vector<packer::Entry> entries = {{u"main.dll", pseudoRandomBytes(700, 6)},
                                                {u"dir\\notes.txt", std::string(900, 'n')},
                                                {u"e", ""}};
    const std::string data = packer::writeAttachedData(entries, kFast);
    int decodedAnyway = 0;
    // Every bit of the header and the frame's start, every fifth after.
    for (std::size_t bit = 0; bit < 8 * data.size(); bit += bit < 8 * 64 ? 1 : 5) {
        std::string damaged = data;
        damaged[bit / 8] = static_cast<char>(damaged[bit / 8] ^ (1 << (bit % 8)));
        const WalkResult walk = walkAttachedData(damaged);
        ASSERT_EQ(native_support::disagreement(damaged, walk), "") << "bit " << bit;
        decodedAnyway += walk.exitCode == 0 ? 1 : 0;
    }
    // The trailer is never read, so its flips at least decode unchanged.
    EXPECT_GE(decodedAnyway, 8 * 8 / 5);
}

TEST(NativeWalk, AFrameThatMisstatesItsContentSizeIsRefused) {
    // Found by fuzzing: the frame declares 65783 bytes but holds 4 (an end
    // marker among them). Decoded through a window that holds the declared
    // size, zstd checks it and refuses the frame.
    const std::string data("KAY\x28\xb5\x2f\xfd\x71\x00\xf7\xff\x00\x00\x00\x20\x00\x00\x00"
                           "\x00\x00\x5c\x01\x00\x00",
                           24);
    const WalkResult walk = walkAttachedData(data);
    EXPECT_EQ(walk.message, kDecodeMessage);
    EXPECT_EQ(native_support::disagreement(data, walk), "");
}

std::string streamWithName(const std::u16string& name, const std::string& data) {
    return packer::encodeEntryStream({{name, data}});
}

TEST(NativeWalk, NamesOfTheLimitAndBeyondAndUnsafeNames) {
    const std::u16string longest(attached::kNameCapacity - 1, u'n');
    EXPECT_EQ(walkAttachedData(packStream(streamWithName(longest, "x"))).exitCode, 0);

    // One unit more is refused as soon as it arrives, whatever follows.
    std::string tooLong = streamWithName(longest + u'n', "x");
    EXPECT_EQ(walkAttachedData(packStream(tooLong)).message, kDecodeMessage);
    tooLong.resize(2 * attached::kNameCapacity);
    EXPECT_EQ(walkAttachedData(packStream(tooLong)).message, kDecodeMessage);

    for (const std::u16string name : {u"..\\up.txt", u"a\\..\\..\\b", u"C:x", u"\\root", u"a\\\\b",
                                      u"a/./b", u"stream.txt:alt"}) {
        const WalkResult walk = walkAttachedData(packStream(streamWithName(name, "x")));
        EXPECT_EQ(walk.message, kDecodeMessage) << std::string(name.begin(), name.end());
        EXPECT_TRUE(walk.entries.empty());
    }
}

TEST(NativeWalk, SizesBeyondTheDataEndWithTheDecodeMessage) {
    for (const std::uint64_t size : {std::uint64_t{5}, std::uint64_t{1} << 40, ~std::uint64_t{0}}) {
        std::string stream = streamWithName(u"big.bin", "");
        for (std::size_t index = 0; index < attached::kSizeFieldSize; ++index) {
            stream[stream.size() - 10 + index] = static_cast<char>(size >> (8 * index));
        }
        stream += "four";
        const WalkResult walk = walkAttachedData(packStream(stream));
        EXPECT_EQ(walk.message, kDecodeMessage) << size;
        EXPECT_EQ(walk.exitCode, native_support::kFatalExitCode);
    }
}

} // namespace
