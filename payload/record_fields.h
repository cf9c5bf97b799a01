// Reading the small binary records that a package carries beside its
// attached data (the cache record, the executable-entries record): their
// little-endian fields, their magic, and the search of their ascending
// lists. No system headers; every caller checks the bounds first.
#ifndef CORVELLINTH_PAYLOAD_RECORD_FIELDS_H
#define CORVELLINTH_PAYLOAD_RECORD_FIELDS_H

#include <cstddef>
#include <cstdint>

namespace record_fields {

// The unsigned little-endian value of count bytes (at most 8).
inline std::uint64_t loadLittleEndian(const unsigned char* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t index = count; index > 0; --index) {
        value = (value << 8) | bytes[index - 1];
    }
    return value;
}

// True when bytes start with the size bytes of magic.
inline bool hasMagic(const unsigned char* bytes, const unsigned char* magic, std::size_t size) {
    for (std::size_t index = 0; index < size; ++index) {
        if (bytes[index] != magic[index]) {
            return false;
        }
    }
    return true;
}

// True when valueAt(0) ... valueAt(count - 1) are strictly ascending.
template <typename ValueAt> bool isStrictlyAscending(std::size_t count, ValueAt valueAt) {
    for (std::size_t position = 1; position < count; ++position) {
        if (valueAt(position - 1) >= valueAt(position)) {
            return false;
        }
    }
    return true;
}

// The position of wanted among count strictly ascending values, where
// valueAt(position) gives each, or -1 when it is not there (binary search).
template <typename ValueAt>
std::int64_t findAscending(std::size_t count, ValueAt valueAt, std::uint64_t wanted) {
    std::size_t low = 0;
    std::size_t high = count;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        const std::uint64_t value = valueAt(middle);
        if (value == wanted) {
            return static_cast<std::int64_t>(middle);
        }
        if (value < wanted) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return -1;
}

} // namespace record_fields

#endif
