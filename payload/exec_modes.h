// The executable-entries record: a Linux package's list of the entries that
// were executable (owner execute bit) in the packed directory, beside the
// attached data, since the entry stream carries no attributes. The launcher
// creates those entries with mode 0755 and every other file 0644, less the
// umask. No system headers: it builds natively for the unit tests and
// fuzzing; the packer writes the same layout.
//
//   offset 0    'K' 'A' 'Y' 'M'     magic
//          4    u16 version         1
//          6    u16                 0
//          8    u32 n               listed entries
//         12    n x u32             entry indices, strictly ascending: the
//                                   0-based position in the entry stream
//   and nothing after them. Integers are little-endian.
#ifndef CORVELLINTH_PAYLOAD_EXEC_MODES_H
#define CORVELLINTH_PAYLOAD_EXEC_MODES_H

#include <cstddef>
#include <cstdint>

namespace exec_modes {

// The ELF section that carries the record in a Linux package.
inline constexpr char kSectionName[] = ".onefile_modes";
inline constexpr unsigned char kMagic[] = {'K', 'A', 'Y', 'M'};
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kFixedSize = 12; // everything but the indices
inline constexpr std::size_t kIndexSize = 4;

// Modes of unpacked files before the umask is taken off.
inline constexpr unsigned kExecutableMode = 0755;
inline constexpr unsigned kPlainMode = 0644;

// A parsed record; indices points into the bytes it was parsed from.
struct Record {
    const unsigned char* indices; // count u32 values
    std::uint32_t count;
};

// True when bytes (size of them) are a record in the layout above with
// strictly ascending indices; fills *record then. Anything else is refused.
bool parseRecord(const unsigned char* bytes, std::size_t size, Record* record);

// The entry index listed at position (below record.count).
std::uint32_t indexAt(const Record& record, std::size_t position);

// True when the entry at entryIndex in the stream is listed (binary search).
bool isExecutable(const Record& record, std::uint32_t entryIndex);

// True when every listed index names one of entryCount entries; a record
// that lists an entry the stream does not have is damaged.
bool fitsEntries(const Record& record, std::uint64_t entryCount);

} // namespace exec_modes

#endif
