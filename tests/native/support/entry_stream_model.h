// What the launcher must make of a decompressed entry stream, worked out
// directly on the bytes: the oracle that the walk over compressed attached
// data is compared with.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_ENTRY_STREAM_MODEL_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_ENTRY_STREAM_MODEL_H

#include <cstddef>
#include <string_view>
#include <vector>

#include "tests/native/support/entry_walk.h"

namespace native_support {

enum class StreamEnding {
    complete,     // the end marker was reached
    truncated,    // the bytes end inside a name, a size or the data
    rejectedName, // a name of 1024 units or more, or one the name check refuses
};

struct StreamModel {
    StreamEnding ending = StreamEnding::truncated;
    std::vector<WalkedEntry> entries; // the entries before the ending
    std::size_t length = 0;           // Complete: the offset just past the end marker
};

StreamModel modelEntryStream(std::string_view stream);

} // namespace native_support

#endif
