#include "payload/exec_modes.h"

#include "payload/record_fields.h"

namespace exec_modes {
namespace {

using record_fields::loadLittleEndian;

constexpr std::size_t kVersionOffset = 4;
constexpr std::size_t kReservedOffset = 6;
constexpr std::size_t kCountOffset = 8;

// Each listed index as a function of its position, for the list's search.
auto listedIndices(const Record& record) {
    return [&record](std::size_t position) { return indexAt(record, position); };
}

} // namespace

bool parseRecord(const unsigned char* bytes, std::size_t size, Record* record) {
    if (bytes == nullptr || size < kFixedSize ||
        !record_fields::hasMagic(bytes, kMagic, sizeof(kMagic))) {
        return false;
    }
    const auto count = static_cast<std::uint32_t>(loadLittleEndian(bytes + kCountOffset, 4));
    // Compared by division: count * kIndexSize may not fit.
    if (loadLittleEndian(bytes + kVersionOffset, 2) != kVersion ||
        loadLittleEndian(bytes + kReservedOffset, 2) != 0 ||
        (size - kFixedSize) % kIndexSize != 0 || (size - kFixedSize) / kIndexSize != count) {
        return false;
    }
    const Record parsed{bytes + kFixedSize, count};
    if (!record_fields::isStrictlyAscending(parsed.count, listedIndices(parsed))) {
        return false;
    }
    *record = parsed;
    return true;
}

std::uint32_t indexAt(const Record& record, std::size_t position) {
    return static_cast<std::uint32_t>(
        loadLittleEndian(record.indices + kIndexSize * position, kIndexSize));
}

bool isExecutable(const Record& record, std::uint32_t entryIndex) {
    return record_fields::findAscending(record.count, listedIndices(record), entryIndex) >= 0;
}

bool fitsEntries(const Record& record, std::uint64_t entryCount) {
    return record.count == 0 || indexAt(record, record.count - 1) < entryCount;
}

} // namespace exec_modes
