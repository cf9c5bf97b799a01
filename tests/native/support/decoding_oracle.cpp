#include "tests/native/support/decoding_oracle.h"

#include <zstd.h>

#include <algorithm>
#include <memory>

#include "payload/format.h"
#include "tests/native/support/entry_stream_model.h"
#include "tests/native/support/launcher_exit.h"

namespace native_support {
namespace {

// zstd decides by the output buffer's size: a single-segment frame whose
// declared content size fits is decoded in one go and that size checked; a
// smaller buffer streams it without the check. So the output steps are the
// reader's window, and the decoder sees the calls that the reader makes.
constexpr std::size_t kOutputStep = attached::kWindowSize;

struct DecoderDeleter {
    void operator()(ZSTD_DCtx* decoder) const { ZSTD_freeDCtx(decoder); }
};

bool isPrefix(const std::vector<WalkedEntry>& prefix, const std::vector<WalkedEntry>& whole) {
    return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

std::string describe(const WalkResult& walk) {
    return "walk ended with " + std::to_string(walk.exitCode) + " '" + walk.message + "' after " +
           std::to_string(walk.entries.size()) + " entries";
}

// The frame ended, and the entry stream with it.
bool isWholeFrameTheStream(const DecodedContent& decoded, const StreamModel& model) {
    return decoded.frameEnded && model.ending == StreamEnding::complete &&
           model.length == decoded.bytes.size();
}

std::string checkFailedWalk(const WalkResult& walk, const DecodedContent& decoded,
                            const StreamModel& model) {
    if (walk.exitCode != kFatalExitCode || walk.message != kDecodeMessage) {
        return describe(walk) + ", expected the decode message";
    }
    if (decoded.decoderFailed) {
        // The reader may meet the error before the oracle's model ends.
        return isPrefix(walk.entries, model.entries) ? "" : describe(walk) + ": wrong entries";
    }
    if (isWholeFrameTheStream(decoded, model)) {
        return describe(walk) + ", but the frame holds a complete stream";
    }
    return walk.entries == model.entries ? "" : describe(walk) + ": wrong entries";
}

} // namespace

DecodedContent decodeAll(std::string_view compressed, std::size_t limit) {
    DecodedContent result;
    const std::unique_ptr<ZSTD_DCtx, DecoderDeleter> decoder(ZSTD_createDCtx());
    std::vector<char> chunk(kOutputStep);
    ZSTD_inBuffer input{compressed.data(), compressed.size(), 0};
    bool outputFilled = false;
    while (!result.frameEnded && (input.pos < input.size || outputFilled)) {
        ZSTD_outBuffer output{chunk.data(), chunk.size(), 0};
        const std::size_t code = ZSTD_decompressStream(decoder.get(), &output, &input);
        if (ZSTD_isError(code)) {
            result.decoderFailed = true;
            return result;
        }
        if (output.pos > limit - result.bytes.size()) {
            result.overLimit = true;
            return result;
        }
        result.bytes.append(chunk.data(), output.pos);
        outputFilled = output.pos == chunk.size();
        // A frame that gives nothing (a skippable one) is passed over.
        result.frameEnded = code == 0 && !result.bytes.empty();
    }
    return result;
}

std::string disagreement(std::string_view attachedData, const WalkResult& walk, std::size_t limit) {
    if (attachedData.size() < attached::kHeaderSize ||
        attachedData.substr(0, attached::kHeaderSize) != "KAY") {
        const bool header = walk.exitCode == kFatalExitCode && walk.message == kHeaderMessage;
        return header ? "" : describe(walk) + ", expected the header message";
    }
    const DecodedContent decoded = decodeAll(attachedData.substr(attached::kHeaderSize), limit);
    if (decoded.overLimit) {
        const bool plausible = walk.exitCode == 0 ||
                               (walk.exitCode == kFatalExitCode && walk.message == kDecodeMessage);
        return plausible ? "" : describe(walk) + ", expected the end marker or the decode message";
    }
    const StreamModel model = modelEntryStream(decoded.bytes);
    if (walk.exitCode != 0) {
        return checkFailedWalk(walk, decoded, model);
    }
    if (!isWholeFrameTheStream(decoded, model)) {
        return describe(walk) + ", but the frame is not exactly a complete stream";
    }
    return walk.entries == model.entries ? "" : describe(walk) + ": wrong entries";
}

} // namespace native_support
