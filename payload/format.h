// Layout of the attached data: where it lives in the executable, its
// envelope, and the limits that the entry stream's reader imposes.
//
//   offset 0   'K' 'A' 'Y'          header; 'Y' marks a zstd stream
//   offset 3   one zstd frame       decompresses to the entry stream
//   then       zero bytes           padding, never read by the launcher
//   last 8     u64 little-endian    offset of this field (length - 8)
//
// Entry stream: { UTF-16LE name, 0x0000; u64 size; size bytes } ...,
// ended by an empty name (a lone 0x0000).
#ifndef CORVELLINTH_PAYLOAD_FORMAT_H
#define CORVELLINTH_PAYLOAD_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace attached {

inline constexpr int kResourceType = 10; // RT_RCDATA
inline constexpr int kResourceId = 27;
// In a Linux package: an ELF section of this name, not loaded, found through
// the section headers.
inline constexpr char kSectionName[] = ".onefile";

inline constexpr unsigned char kHeader[] = {'K', 'A', 'Y'};
inline constexpr std::size_t kHeaderSize = sizeof(kHeader);
inline constexpr std::size_t kTrailerValueSize = 8;
inline constexpr std::size_t kTrailerAlignment = 8; // the final value's offset

inline constexpr std::size_t kWindowSize = 131072;   // decompressed bytes held at once
inline constexpr std::size_t kNameCapacity = 1024;   // code units, terminator included
inline constexpr std::size_t kPathCapacity = 4096;   // code units, terminator included
inline constexpr std::size_t kDataChunkSize = 32768; // bytes per WriteFile
inline constexpr std::size_t kSizeFieldSize = 8;

} // namespace attached

#endif
