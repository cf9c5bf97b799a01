#include "payload/cache_record.h"

#include "payload/entry_names.h"
#include "payload/record_fields.h"

namespace cache {
namespace {

constexpr std::size_t kKeyOffset = 8;
constexpr std::size_t kFolderLengthOffset = 24;
constexpr std::size_t kFolderOffset = 26;
constexpr std::size_t kCountSize = 4;
constexpr std::size_t kHashSize = 8;
constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;

using record_fields::loadLittleEndian;

std::uint64_t hashAt(const Record& record, std::size_t index) {
    return loadLittleEndian(record.listing + kHashSize * index, kHashSize);
}

void mixByte(std::uint64_t* state, unsigned char byte) {
    *state = (*state ^ byte) * kFnvPrime;
}

// The folder must be a relative path that stays below the root: the checks
// of entry names, on a terminated copy (a 0 unit inside would hide the rest).
bool isSafeFolder(const Record& record) {
    char16_t units[kLongestFolder + 1];
    for (std::size_t index = 0; index < record.folderUnits; ++index) {
        units[index] = static_cast<char16_t>(folderUnit(record, index));
        if (units[index] == u'\0') {
            return false;
        }
    }
    units[record.folderUnits] = u'\0';
    return findEntryNameProblem(units) == EntryNameProblem::none;
}

// Each listed hash as a function of its position, for the listing's checks.
auto hashes(const Record& record) {
    return [&record](std::size_t index) { return hashAt(record, index); };
}

} // namespace

bool parseRecord(const unsigned char* bytes, std::size_t size, Record* record) {
    if (bytes == nullptr || size < kFixedSize) {
        return false;
    }
    if (!record_fields::hasMagic(bytes, kMagic, sizeof(kMagic))) {
        return false;
    }
    const auto root = static_cast<std::uint16_t>(loadLittleEndian(bytes + 6, 2));
    const auto folderUnits =
        static_cast<std::size_t>(loadLittleEndian(bytes + kFolderLengthOffset, 2));
    if (loadLittleEndian(bytes + 4, 2) != kVersion || root < 1 || root > 3 || folderUnits == 0 ||
        folderUnits > kLongestFolder || size < kFixedSize + 2 * folderUnits) {
        return false;
    }
    const unsigned char* const count = bytes + kFolderOffset + 2 * folderUnits;
    const auto listed = static_cast<std::uint32_t>(loadLittleEndian(count, kCountSize));
    if (listed == 0 || listed > kMaximumListed ||
        (size - kFixedSize - 2 * folderUnits) / kHashSize != listed ||
        (size - kFixedSize - 2 * folderUnits) % kHashSize != 0) {
        return false;
    }
    Record parsed{};
    parsed.root = static_cast<Root>(root);
    for (std::size_t index = 0; index < kKeySize; ++index) {
        parsed.key[index] = bytes[kKeyOffset + index];
    }
    parsed.folder = bytes + kFolderOffset;
    parsed.folderUnits = folderUnits;
    parsed.listing = count + kCountSize;
    parsed.listed = listed;
    if (!isSafeFolder(parsed) ||
        !record_fields::isStrictlyAscending(parsed.listed, hashes(parsed))) {
        return false;
    }
    *record = parsed;
    return true;
}

std::size_t markerSize(const Record& record) {
    return kKeyDigits + kMarkerTimeSize * static_cast<std::size_t>(record.listed);
}

std::uint16_t folderUnit(const Record& record, std::size_t index) {
    return static_cast<std::uint16_t>(loadLittleEndian(record.folder + 2 * index, 2));
}

std::int64_t findListed(const Record& record, std::uint64_t hash) {
    return record_fields::findAscending(record.listed, hashes(record), hash);
}

ListingHash startListingHash(EntryKind kind) {
    ListingHash hash{kFnvOffset};
    mixByte(&hash.state, static_cast<unsigned char>(kind));
    return hash;
}

void addListingUnit(ListingHash* hash, std::uint32_t unit) {
    mixByte(&hash->state, static_cast<unsigned char>(unit & 0xFF));
    mixByte(&hash->state, static_cast<unsigned char>((unit >> 8) & 0xFF));
}

// The name ends with a 0 unit, which no name holds, so that a name and its
// size cannot run into each other; the mix is MurmurHash3's finaliser.
std::uint64_t finishListingHash(ListingHash hash, std::uint64_t size) {
    addListingUnit(&hash, 0);
    for (std::size_t index = 0; index < 8; ++index) {
        mixByte(&hash.state, static_cast<unsigned char>(size >> (8 * index)));
    }
    std::uint64_t value = hash.state;
    value ^= value >> 33;
    value *= 0xff51afd7ed558ccdull;
    value ^= value >> 33;
    value *= 0xc4ceb3fe1a85ec53ull;
    value ^= value >> 33;
    return value;
}

} // namespace cache
