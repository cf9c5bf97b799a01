// The decompressing reader in-process: frames from the zstd command-line
// tool and from our writer, reads across window boundaries, decoder calls
// that produce nothing, output the decoder still holds, and what the reader
// must never touch.
#include <windows.h>
#include <io.h>
#include <stdio.h>

#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "payload/format.h"
#include "payload/reader.h"
#include "tests/support/files.h"
#include "tools/packer/attached_writer.h"

namespace {

using ::testing::ExitedWithCode;

constexpr std::size_t kWindow = attached::kWindowSize;
constexpr char kDecodeMessage[] = "^Error, couldn't decode attached data\\.\r?\n$";

std::wstring testDataPath(const wchar_t* name) {
    return testing_support::binaryDirectory() + L"\\..\\testdata\\" + name;
}

void startReading(const std::string& attachedData) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(attachedData.data());
    createReader(bytes + attached::kHeaderSize, attachedData.size() - attached::kHeaderSize);
}

// Reads total bytes in pieces of changing size (the unpacker's 2, 8 and
// 32768, and others that cross window boundaries at odd places).
std::string readInPieces(std::size_t total) {
    constexpr std::size_t kPieces[] = {2, 8, 32768, 1, kWindow + 3, 7, 65536, 2, 2};
    std::string out(total, '\0');
    std::size_t at = 0;
    for (std::size_t i = 0; at < total; ++i) {
        const std::size_t piece = std::min(kPieces[i % std::size(kPieces)], total - at);
        readAttachedBytes(out.data() + at, piece);
        at += piece;
    }
    return out;
}

std::string readWholeStream(const std::string& attachedData, std::size_t total) {
    startReading(attachedData);
    std::string out = readInPieces(total);
    releaseReader();
    return out;
}

// Equality of large byte strings, reported as the first differing offset.
::testing::AssertionResult sameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
    return ::testing::AssertionFailure()
           << "sizes " << actual.size() << " and " << expected.size() << ", first difference at "
           << (mismatch.first - actual.begin());
}

void sendStandardOutputToStandardError() {
    fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
}

std::string attachedDataOf(const std::string& frame) {
    return std::string(reinterpret_cast<const char*>(attached::kHeader), attached::kHeaderSize) +
           frame;
}

// A single-threaded frame of stream, cut into blocks at every multiple of
// pieceSize; *boundaries receives the compressed length after each piece.
std::string compressInBlocks(const std::string& stream, std::size_t pieceSize,
                             std::vector<std::size_t>* boundaries) {
    ZSTD_CCtx* const context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 1);
    std::string frame;
    std::vector<char> buffer(ZSTD_CStreamOutSize());
    for (std::size_t at = 0; at < stream.size(); at += pieceSize) {
        const std::size_t piece = std::min(pieceSize, stream.size() - at);
        const bool last = at + piece == stream.size();
        ZSTD_inBuffer input{stream.data() + at, piece, 0};
        std::size_t left = 0;
        do {
            ZSTD_outBuffer output{buffer.data(), buffer.size(), 0};
            left = ZSTD_compressStream2(context, &output, &input, last ? ZSTD_e_end : ZSTD_e_flush);
            EXPECT_FALSE(ZSTD_isError(left));
            frame.append(buffer.data(), output.pos);
        } while (left != 0);
        boundaries->push_back(frame.size());
    }
    ZSTD_freeCCtx(context);
    return frame;
}

// Frames made by the zstd command-line tool at build time
// (tests/data/make_reference_frames.py), with and without the trailer.
struct ReferenceFrame {
    const wchar_t* frame;
    const wchar_t* stream;
};

class ReferenceFrames : public ::testing::TestWithParam<ReferenceFrame> {};

TEST_P(ReferenceFrames, DecodeByteForByte) {
    const std::string frame = testing_support::readFile(testDataPath(GetParam().frame));
    const std::string stream = testing_support::readFile(testDataPath(GetParam().stream));
    ASSERT_GE(frame.size(), 4u) << "missing test data; the build makes it";
    ASSERT_GE(stream.size(), 2u);
    EXPECT_TRUE(sameBytes(readWholeStream(packer::wrapFrame(frame), stream.size()), stream));
    EXPECT_TRUE(sameBytes(readWholeStream(attachedDataOf(frame), stream.size()), stream));
}

INSTANTIATE_TEST_SUITE_P(CommandLineTool, ReferenceFrames,
                         ::testing::Values(ReferenceFrame{L"level1.zst", L"stream.bin"},
                                           ReferenceFrame{L"level3_checksum_size.zst",
                                                          L"stream.bin"},
                                           ReferenceFrame{L"level19_plain.zst", L"stream.bin"},
                                           ReferenceFrame{L"fast5.zst", L"stream.bin"},
                                           ReferenceFrame{L"long27.zst", L"stream.bin"},
                                           ReferenceFrame{L"small_blocks.zst", L"stream.bin"},
                                           ReferenceFrame{L"literals_raw.zst", L"stream.bin"},
                                           ReferenceFrame{L"jobs.zst", L"stream.bin"},
                                           ReferenceFrame{L"small_single_pass.zst", L"small.bin"}));

TEST(Reader, ReadsWhatTheWriterWroteSingleAndMultiThreaded) {
    const std::vector<packer::Entry> entries = {
        {u"main.dll", testing_support::pseudoRandomBytes(400000, 1)},
        {u"a\\b.txt", std::string(700000, 'b')},
        {u"empty", ""}};
    const std::string stream = packer::encodeEntryStream(entries);
    for (const int threads : {1, 2}) {
        const std::string data = packer::writeAttachedData(entries, {3, threads, 21});
        EXPECT_TRUE(sameBytes(readWholeStream(data, stream.size()), stream)) << threads;
    }
}

TEST(Reader, AssemblesReadsThatStraddleTwoWindowsOrSpanSeveral) {
    const std::vector<packer::Entry> entries = {
        {u"main.dll", testing_support::pseudoRandomBytes(4 * kWindow, 2)}};
    const std::string stream = packer::encodeEntryStream(entries);
    const std::string data = packer::writeAttachedData(entries, {1, 1, 21});
    startReading(data);
    std::string head(kWindow - 4, '\0');
    readAttachedBytes(head.data(), head.size());
    char straddling[8];
    readAttachedBytes(straddling, sizeof(straddling));
    std::string large(2 * kWindow + 100, '\0'); // one call, several decoder calls
    readAttachedBytes(large.data(), large.size());
    std::string rest(stream.size() - head.size() - sizeof(straddling) - large.size(), '\0');
    readAttachedBytes(rest.data(), rest.size());
    releaseReader();
    EXPECT_TRUE(
        sameBytes(head + std::string(straddling, sizeof(straddling)) + large + rest, stream));
}

// A skippable frame and an empty frame before the real one: the decoder
// finishes each with nothing produced while input remains, and the reader
// has to call it again.
TEST(Reader, CallsTheDecoderAgainWhenACallProducesNothing) {
    const std::string stream = packer::encodeEntryStream({{u"x", "hello"}});
    std::string skippable("\x50\x2A\x4D\x18\x04\x00\x00\x00skip", 12);
    std::string empty(ZSTD_compressBound(0), '\0');
    empty.resize(ZSTD_compress(empty.data(), empty.size(), nullptr, 0, 1));
    std::string frame(ZSTD_compressBound(stream.size()), '\0');
    frame.resize(ZSTD_compress(frame.data(), frame.size(), stream.data(), stream.size(), 1));
    const std::string data = packer::wrapFrame(skippable + empty + empty + frame);
    EXPECT_TRUE(sameBytes(readWholeStream(data, stream.size()), stream));
}

// The frame ends right at an inaccessible page, and the input handed to the
// reader runs on into it: any look at a byte after the frame faults. The
// whole stream, end marker included, must still come out.
TEST(Reader, NeverTouchesTheBytesAfterTheFrame) {
    const std::vector<packer::Entry> entries = {
        {u"main.dll", testing_support::pseudoRandomBytes(200000, 3)}, {u"last", "z"}};
    const std::string stream = packer::encodeEntryStream(entries);
    const std::string written = packer::writeAttachedData(entries, {3, 1, 21});
    const std::string frame = written.substr(attached::kHeaderSize);
    const std::size_t frameSize = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
    ASSERT_FALSE(ZSTD_isError(frameSize));
    const std::string data = attachedDataOf(frame.substr(0, frameSize));

    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const std::size_t page = system.dwPageSize;
    const std::size_t usable = (data.size() + page - 1) / page * page;
    auto* const region = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, usable + page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(region, nullptr);
    DWORD previous = 0;
    ASSERT_TRUE(VirtualProtect(region + usable, page, PAGE_NOACCESS, &previous));
    unsigned char* const start = region + usable - data.size();
    std::memcpy(start, data.data(), data.size());

    createReader(start + attached::kHeaderSize, data.size() - attached::kHeaderSize + 64);
    const std::string read = readInPieces(stream.size());
    releaseReader();
    VirtualFree(region, 0, MEM_RELEASE);
    EXPECT_TRUE(sameBytes(read, stream));
}

// Cut after the second of three blocks: all input is taken while the window
// is full and the decoder still holds the rest of the second block. Those
// bytes must come out; one byte more is a decode failure.
TEST(Reader, DeliversOutputTheDecoderHoldsAfterTheInputRanOut) {
    const std::string stream = testing_support::pseudoRandomBytes(300000, 4);
    std::vector<std::size_t> boundaries;
    const std::string frame = compressInBlocks(stream, 100000, &boundaries);
    ASSERT_EQ(boundaries.size(), 3u);
    const std::string data = attachedDataOf(frame.substr(0, boundaries[1]));
    startReading(data);
    EXPECT_TRUE(sameBytes(readInPieces(200000), stream.substr(0, 200000)));
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            char byte = 0;
            readAttachedBytes(&byte, 1);
        },
        ExitedWithCode(2), kDecodeMessage);
    releaseReader();
}

TEST(Reader, RefusesAFrameWhoseWindowExceeds128MiB) {
    std::string data;
    packer::AttachedDataWriter writer(
        [&data](const void* bytes, std::size_t size) {
            data.append(static_cast<const char*>(bytes), size);
        },
        {1, 1, 28});
    writer.beginEntry(u"main.dll", 5);
    writer.addData("hello", 5);
    writer.finish();
    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, data.data() + attached::kHeaderSize,
                                  data.size() - attached::kHeaderSize),
              0u);
    ASSERT_GT(header.windowSize, 1ull << 27);
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            startReading(data);
            char byte = 0;
            readAttachedBytes(&byte, 1);
        },
        ExitedWithCode(2), kDecodeMessage);
}

void* noMemory(std::size_t) {
    return nullptr;
}

TEST(Reader, NoMemoryForTheWindowEndsWithTheAllocationMessage) {
    // Nothing is decoded before the allocation: any bytes will do.
    const std::string data = attachedDataOf(std::string(16, '\0'));
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            allocateReaderWindow = noMemory;
            startReading(data);
        },
        ExitedWithCode(2), "^Error, couldn't allocate memory\\.\r?\n$");
}

} // namespace
