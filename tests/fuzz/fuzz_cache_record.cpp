// Arbitrary bytes as a cache record. A record that is taken must be exactly
// the bytes its fields give back (nothing ignored, nothing read past the
// input, which AddressSanitizer would catch), its folder must be a safe
// relative path, and every listed hash must be found where it stands.
#include <cstddef>
#include <cstdint>
#include <string>

#include "payload/cache_record.h"
#include "payload/entry_names.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void append(std::string* bytes, std::uint64_t value, std::size_t count) {
    for (std::size_t index = 0; index < count; ++index) {
        bytes->push_back(static_cast<char>((value >> (8 * index)) & 0xFF));
    }
}

std::uint64_t listedAt(const cache::Record& record, std::size_t index) {
    std::uint64_t value = 0;
    for (std::size_t byte = 8; byte > 0; --byte) {
        value = (value << 8) | record.listing[8 * index + byte - 1];
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    cache::Record record{};
    if (!cache::parseRecord(data, size, &record)) {
        return 0;
    }
    std::string rebuilt(reinterpret_cast<const char*>(cache::kMagic), sizeof(cache::kMagic));
    append(&rebuilt, cache::kVersion, 2);
    append(&rebuilt, static_cast<std::uint16_t>(record.root), 2);
    rebuilt.append(reinterpret_cast<const char*>(record.key), cache::kKeySize);
    append(&rebuilt, record.folderUnits, 2);
    std::u16string folder;
    for (std::size_t index = 0; index < record.folderUnits; ++index) {
        folder += static_cast<char16_t>(cache::folderUnit(record, index));
        append(&rebuilt, folder.back(), 2);
    }
    append(&rebuilt, record.listed, 4);
    for (std::size_t index = 0; index < record.listed; ++index) {
        const std::uint64_t hash = listedAt(record, index);
        append(&rebuilt, hash, 8);
        failWhen(cache::findListed(record, hash) != static_cast<std::int64_t>(index),
                 "a listed hash is not found at its place");
    }
    failWhen(rebuilt != std::string(reinterpret_cast<const char*>(data), size),
             "a taken record is not exactly its fields");
    failWhen(findEntryNameProblem(folder.c_str()) != EntryNameProblem::none,
             "a taken record has an unsafe folder");
    return 0;
}
