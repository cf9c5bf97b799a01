#include "tests/native/support/entry_stream_model.h"

#include <cstdint>
#include <optional>
#include <string>

#include "payload/format.h"
#include "tests/native/support/entry_name_rules.h"

namespace native_support {
namespace {

constexpr std::size_t kLongestName = attached::kNameCapacity - 1;

// The bytes still unread, with the offset of the next one.
struct Cursor {
    std::string_view bytes;
    std::size_t offset = 0;

    std::size_t left() const { return bytes.size() - offset; }
    unsigned byteAt(std::size_t index) const {
        return static_cast<unsigned char>(bytes[offset + index]);
    }
};

// Reads units up to a 0 unit. The launcher refuses a name as soon as its
// 1024th non-zero unit arrives, so that decides before a truncation behind it.
std::optional<StreamEnding> readName(Cursor& cursor, std::u16string& name) {
    for (;;) {
        if (cursor.left() < 2) {
            return StreamEnding::truncated;
        }
        const auto unit = static_cast<char16_t>(cursor.byteAt(0) | (cursor.byteAt(1) << 8));
        cursor.offset += 2;
        if (unit == 0) {
            return std::nullopt;
        }
        if (name.size() == kLongestName) {
            return StreamEnding::rejectedName;
        }
        name.push_back(unit);
    }
}

} // namespace

StreamModel modelEntryStream(std::string_view stream) {
    StreamModel model;
    Cursor cursor{stream};
    for (;;) {
        WalkedEntry entry;
        if (const auto ending = readName(cursor, entry.name)) {
            model.ending = *ending;
            return model;
        }
        if (entry.name.empty()) {
            model.ending = StreamEnding::complete;
            model.length = cursor.offset;
            return model;
        }
        if (!isCreatableName(entry.name)) {
            model.ending = StreamEnding::rejectedName;
            return model;
        }
        if (cursor.left() < attached::kSizeFieldSize) {
            model.ending = StreamEnding::truncated;
            return model;
        }
        for (std::size_t index = 0; index < attached::kSizeFieldSize; ++index) {
            entry.size |= std::uint64_t{cursor.byteAt(index)} << (8 * index);
        }
        cursor.offset += attached::kSizeFieldSize;
        if (entry.size > cursor.left()) {
            model.ending = StreamEnding::truncated;
            return model;
        }
        entry.digest = dataDigest(stream.substr(cursor.offset, entry.size));
        cursor.offset += entry.size;
        model.entries.push_back(entry);
    }
}

} // namespace native_support
