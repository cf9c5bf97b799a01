// Checks a walk over attached data against what the data holds: the frame is
// decompressed here in one go, independently of the reader's window, and the
// entry stream modelled on the result.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_DECODING_ORACLE_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_DECODING_ORACLE_H

#include <cstddef>
#include <string>
#include <string_view>

#include "tests/native/support/entry_walk.h"

namespace native_support {

struct DecodedContent {
    std::string bytes;          // everything the decoder gave before it stopped
    bool decoderFailed = false; // it stopped on an error code (a wrong checksum too)
    bool overLimit = false;     // it would give more than limit bytes; bytes is incomplete
    bool frameEnded = false;    // the decoder reported the end of the first frame
};

// Decompresses compressed up to the end of the first zstd frame that gives
// output, the input's end, an error, or limit bytes.
DecodedContent decodeAll(std::string_view compressed, std::size_t limit);

// Empty when walk is what the launcher must make of attachedData; otherwise
// what disagrees. The launcher runs only a complete frame whose content is
// the entry stream up to its end marker and nothing more. Decoded content over limit bytes is not
// modelled: then only the kind of ending is checked.
std::string disagreement(std::string_view attachedData, const WalkResult& walk,
                         std::size_t limit = std::size_t{64} << 20);

} // namespace native_support

#endif
