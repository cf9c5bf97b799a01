// Reading the fields of the entry stream through the reader. No Windows
// calls: the native tests and fuzz targets walk the stream with these too.
#ifndef CORVELLINTH_PAYLOAD_ENTRY_STREAM_H
#define CORVELLINTH_PAYLOAD_ENTRY_STREAM_H

#include <cstddef>
#include <cstdint>

// Reads the next name into name (capacity code units, terminator included),
// one UTF-16LE code unit per two-byte read, up to its 0x0000 unit. Returns
// false for the end marker (an empty name). A name that would leave no room
// for its terminator ends the process with "Error, couldn't decode attached
// data." before the buffer can overrun.
bool readEntryName(wchar_t* name, std::size_t capacity);
bool readEntryName(char16_t* name, std::size_t capacity);

// Reads the 64-bit little-endian size that follows a name.
std::uint64_t readEntrySize();

#endif
