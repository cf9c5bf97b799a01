#include "payload/exec_modes.h"

namespace exec_modes {
namespace {

constexpr std::size_t kVersionOffset = 4;
constexpr std::size_t kReservedOffset = 6;
constexpr std::size_t kCountOffset = 8;

std::uint32_t loadLittleEndian(const unsigned char* bytes, std::size_t count) {
    std::uint32_t value = 0;
    for (std::size_t index = count; index > 0; --index) {
        value = (value << 8) | bytes[index - 1];
    }
    return value;
}

bool isAscending(const Record& record) {
    for (std::size_t position = 1; position < record.count; ++position) {
        if (indexAt(record, position - 1) >= indexAt(record, position)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool parseRecord(const unsigned char* bytes, std::size_t size, Record* record) {
    if (bytes == nullptr || size < kFixedSize) {
        return false;
    }
    for (std::size_t index = 0; index < sizeof(kMagic); ++index) {
        if (bytes[index] != kMagic[index]) {
            return false;
        }
    }
    const std::uint32_t count = loadLittleEndian(bytes + kCountOffset, 4);
    // Compared by division: count * kIndexSize may not fit.
    if (loadLittleEndian(bytes + kVersionOffset, 2) != kVersion ||
        loadLittleEndian(bytes + kReservedOffset, 2) != 0 ||
        (size - kFixedSize) % kIndexSize != 0 || (size - kFixedSize) / kIndexSize != count) {
        return false;
    }
    const Record parsed{bytes + kFixedSize, count};
    if (!isAscending(parsed)) {
        return false;
    }
    *record = parsed;
    return true;
}

std::uint32_t indexAt(const Record& record, std::size_t position) {
    return loadLittleEndian(record.indices + kIndexSize * position, kIndexSize);
}

bool isExecutable(const Record& record, std::uint32_t entryIndex) {
    std::size_t low = 0;
    std::size_t high = record.count;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        const std::uint32_t value = indexAt(record, middle);
        if (value == entryIndex) {
            return true;
        }
        if (value < entryIndex) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return false;
}

bool fitsEntries(const Record& record, std::uint64_t entryCount) {
    return record.count == 0 || indexAt(record, record.count - 1) < entryCount;
}

} // namespace exec_modes
