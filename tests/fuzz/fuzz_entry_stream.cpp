// Arbitrary bytes as the decompressed entry stream: compressed here into a
// frame, wrapped as attached data and walked. Names, the 1024-unit limit,
// the name check and sizes are then reached on every input, and the walk
// must agree exactly with the model worked out on the raw bytes, which runs
// only a stream that ends with its end marker.
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tests/native/support/entry_stream_model.h"
#include "tests/native/support/entry_walk.h"
#include "tests/native/support/launcher_exit.h"
#include "tools/packer/attached_writer.h"

namespace {

constexpr int kFastLevel = 1;

std::string compress(std::string_view stream) {
    std::string frame(ZSTD_compressBound(stream.size()), '\0');
    const std::size_t size =
        ZSTD_compress(frame.data(), frame.size(), stream.data(), stream.size(), kFastLevel);
    failWhen(ZSTD_isError(size) != 0, "compression failed");
    frame.resize(size);
    return frame;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using native_support::StreamEnding;
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    const std::string attachedData = packer::wrapFrame(compress(stream));
    const native_support::WalkResult walk = native_support::walkAttachedData(attachedData);
    const native_support::StreamModel model = native_support::modelEntryStream(stream);

    failWhen(walk.entries != model.entries, "the walk's entries differ from the stream's");
    // Anything after the end marker is damage too.
    if (model.ending == StreamEnding::complete && model.length == stream.size()) {
        failWhen(walk.exitCode != 0, "a complete stream ended with '" + walk.message + "'");
    } else {
        failWhen(walk.exitCode != native_support::kFatalExitCode ||
                     walk.message != native_support::kDecodeMessage,
                 "a damaged stream ended with '" + walk.message + "'");
    }
    return 0;
}
