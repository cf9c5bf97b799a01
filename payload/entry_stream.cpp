#include "payload/entry_stream.h"

#include "diagnostics/diagnostics.h"
#include "payload/format.h"
#include "payload/reader.h"

namespace {

constexpr std::size_t kCodeUnitSize = 2; // UTF-16LE in the stream

template <typename Unit> bool readName(Unit* name, std::size_t capacity) {
    for (std::size_t length = 0;; ++length) {
        unsigned char bytes[kCodeUnitSize];
        readAttachedBytes(bytes, kCodeUnitSize);
        const auto unit = static_cast<Unit>(bytes[0] | (bytes[1] << 8));
        if (unit == Unit{0}) {
            name[length] = Unit{0};
            return length != 0;
        }
        if (length + 1 >= capacity) {
            fatalError("Error, couldn't decode attached data.");
        }
        name[length] = unit;
    }
}

} // namespace

bool readEntryName(wchar_t* name, std::size_t capacity) {
    return readName(name, capacity);
}

bool readEntryName(char16_t* name, std::size_t capacity) {
    return readName(name, capacity);
}

std::uint64_t readEntrySize() {
    unsigned char bytes[attached::kSizeFieldSize];
    readAttachedBytes(bytes, attached::kSizeFieldSize);
    std::uint64_t size = 0;
    for (std::size_t index = attached::kSizeFieldSize; index > 0; --index) {
        size = (size << 8) | bytes[index - 1];
    }
    return size;
}
