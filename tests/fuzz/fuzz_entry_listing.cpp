// Arbitrary bytes as the decompressed entry stream, compressed here and
// wrapped as attached data, then listed as --list does. The listing must
// agree exactly with the model worked out on the raw bytes: it succeeds
// only for a complete stream with nothing after the end marker and every
// name one the launcher takes, with the model's names and sizes; otherwise
// it refuses with a one-line reason.
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "tests/native/support/entry_stream_model.h"
#include "tools/packer/attached_writer.h"
#include "tools/packer/entry_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using native_support::StreamEnding;
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    std::string frame(ZSTD_compressBound(size), '\0');
    const std::size_t frameSize = ZSTD_compress(frame.data(), frame.size(), data, size, 1);
    failWhen(ZSTD_isError(frameSize) != 0, "compression failed");
    frame.resize(frameSize);
    const native_support::StreamModel model = native_support::modelEntryStream(stream);
    const bool complete = model.ending == StreamEnding::complete && model.length == size;

    std::vector<packer::ListedEntry> listed;
    try {
        listed = packer::listAttachedEntries(packer::wrapFrame(frame));
    } catch (const packer::PackError& failure) {
        failWhen(complete, "a complete stream was refused: " + failure.message());
        failWhen(failure.message().find('\n') != std::string::npos, "a refusal of two lines");
        return 0;
    }
    failWhen(!complete, "a damaged stream was listed");
    failWhen(listed.size() != model.entries.size(), "a different number of entries");
    for (std::size_t index = 0; index < listed.size(); ++index) {
        failWhen(listed[index].name != model.entries[index].name ||
                     listed[index].size != model.entries[index].size,
                 "entry " + std::to_string(index) + " differs");
    }
    return 0;
}
