// The cache record: a second resource, RCDATA 28, that a package made with
// `onefile-pack --cache` carries beside its attached data. It says where the
// package keeps its unpacked copy between runs, which content that copy must
// hold (the key), and how to tell a complete copy from a damaged one without
// decompressing anything (the listing). No Windows calls: it builds natively
// for the unit tests and fuzzing; the packer writes the same layout.
//
//   offset 0    'K' 'A' 'Y' 'C'     magic
//          4    u16 version         1
//          6    u16 root            1 {CACHE_DIR}, 2 {TEMP}, 3 {HOME}
//          8    16 bytes            the content key
//         24    u16 n               the folder's length in code units, 1 to 255
//         26    n UTF-16LE units    the folder below the root, '\' separated
//       26+2n   u32 c               listing entries, 1 to kMaximumListed
//       30+2n   c x u64             listing hashes, strictly ascending
//   and nothing after them. Integers are little-endian.
//
// The copy of a package lives in <root>\<folder>\<key as 32 hex digits>.
// The listing holds one hash per file (its name relative to the copy and its
// size) and per directory (its name) of the unpacked tree: a copy in which
// every one of them is found, by listing its directories, is complete.
#ifndef CORVELLINTH_PAYLOAD_CACHE_RECORD_H
#define CORVELLINTH_PAYLOAD_CACHE_RECORD_H

#include <cstddef>
#include <cstdint>

namespace cache {

inline constexpr int kResourceId = 28;                   // RT_RCDATA, like the attached data
inline constexpr char kSectionName[] = ".onefile_cache"; // in a Linux package
inline constexpr unsigned char kMagic[] = {'K', 'A', 'Y', 'C'};
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kKeySize = 16;
inline constexpr std::size_t kKeyDigits = 2 * kKeySize;
inline constexpr std::size_t kLongestFolder = 255; // code units
inline constexpr std::size_t kFixedSize = 30;      // everything but the folder and the listing
inline constexpr std::uint32_t kMaximumListed = 1u << 24;

// The file in a copy that says it is complete: written last, before the
// copy gets its name. Every process that runs from a copy keeps it open for
// reading, sharing only reading, so that no one can remove the copy while
// it is in use (removing takes it alone). It holds the key's digits, then
// one time per listing entry, in the listing's order, kMarkerTimeSize bytes
// little-endian: the last-write time (a Windows file time) of that file as
// the directory listing of the complete copy showed it, 0 for a directory.
inline constexpr char kMarkerName[] = ".onefile-cache";
inline constexpr std::size_t kMarkerTimeSize = 8;

enum class Root : std::uint16_t {
    cacheDirectory = 1, // {CACHE_DIR}, the user's local application data
    temp = 2,           // {TEMP}
    home = 3,           // {HOME}
};

// A parsed record; its pointers point into the bytes it was parsed from.
struct Record {
    Root root;
    unsigned char key[kKeySize];
    const unsigned char* folder; // folderUnits UTF-16LE code units
    std::size_t folderUnits;
    const unsigned char* listing; // listed u64 values
    std::uint32_t listed;
};

// True when bytes (size of them) are a record in the layout above whose
// folder is a safe relative path (payload/entry_names.h) and whose listing
// is strictly ascending; fills *record then. Anything else is refused.
bool parseRecord(const unsigned char* bytes, std::size_t size, Record* record);

// The size of a copy's marker for record, in bytes.
std::size_t markerSize(const Record& record);

// Code unit index of the folder.
std::uint16_t folderUnit(const Record& record, std::size_t index);

// The listing's index of hash, or -1 when it is not listed (binary search).
std::int64_t findListed(const Record& record, std::uint64_t hash);

// The hash of one listing entry, built one code unit of its name at a time:
//   ListingHash hash = startListingHash(EntryKind::file);
//   for (each code unit of "data\hello.txt") addListingUnit(&hash, unit);
//   const std::uint64_t value = finishListingHash(hash, size);
// (A directory is finished with size 0.) FNV-1a over the kind, the units and
// the size, then a finalising mix so that nearby inputs spread out.
enum class EntryKind : unsigned char { file = 'F', directory = 'D' };
struct ListingHash {
    std::uint64_t state;
};
ListingHash startListingHash(EntryKind kind);
void addListingUnit(ListingHash* hash, std::uint32_t unit);
std::uint64_t finishListingHash(ListingHash hash, std::uint64_t size);

// The key's 32 lowercase hexadecimal digits, the name of the copy's
// directory, into digits (at least kKeyDigits units; no terminator).
template <typename Unit> void formatKey(const unsigned char* key, Unit* digits) {
    const char hex[] = "0123456789abcdef";
    for (std::size_t index = 0; index < kKeySize; ++index) {
        digits[2 * index] = static_cast<Unit>(hex[key[index] >> 4]);
        digits[2 * index + 1] = static_cast<Unit>(hex[key[index] & 0xF]);
    }
}

} // namespace cache

#endif
