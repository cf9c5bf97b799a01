// Arbitrary bytes as attached data: header check, reader and the entry walk.
// The walk must end exactly as the content calls for (decompressed here in
// one go, independently of the reader): at the end marker with every entry
// intact, or with the header or the decode message, never abnormally.
// AddressSanitizer catches any read past the input.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "tests/native/support/decoding_oracle.h"
#include "tests/native/support/entry_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const native_support::WalkResult walk = native_support::walkAttachedData(data, size);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string problem = native_support::disagreement(bytes, walk);
    failWhen(!problem.empty(), problem);
    return 0;
}
