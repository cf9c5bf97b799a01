// Reproducible test content for the native tests, fuzz seeds and the
// Windows tests that use this folder's model.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_TEST_BYTES_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_TEST_BYTES_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace native_support {

// size bytes that do not compress, the same for the same seed.
inline std::string pseudoRandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

} // namespace native_support

#endif
