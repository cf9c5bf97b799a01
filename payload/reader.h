// The decompressing reader: pulls exact byte counts out of the entry stream
// that the attached data's zstd frame holds, decompressing on demand into
// one fixed 128 KiB window. Process-wide state, main thread only. No
// Windows calls: it builds and runs natively too.
#ifndef CORVELLINTH_PAYLOAD_READER_H
#define CORVELLINTH_PAYLOAD_READER_H

#include <cstddef>
#include <cstdint>

// Points the reader at the compressed bytes (the attached data past its
// three header bytes; read in place, never copied), allocates the window
// and the decoder. Ends the process with "Error, couldn't allocate memory."
// when either allocation fails.
void createReader(const unsigned char* input, std::uint64_t size);

// Copies exactly count (>= 1) bytes of the entry stream to destination, or
// ends the process with "Error, couldn't decode attached data." when the
// frame is damaged or ends first.
void readAttachedBytes(void* destination, std::uint64_t count);

// Reads the frame on from the end marker to its very end, so that the
// decoder checks the content checksum that the frame carries (a frame
// without one is taken as it is). Ends the process with "Error, couldn't
// decode attached data." when anything of the entry stream follows the end
// marker (the stream is damaged, or was ended early by damage), when the
// frame does not end where its data does, or when the checksum differs.
void finishAttachedFrame();

// Where the reader has consumed the compressed bytes to: what lies before
// is never read again.
const unsigned char* readerInputPosition();

// Frees the decoder, then the window.
void releaseReader();

// Allocates the window (malloc); a test puts in one that fails. Freed with
// free.
extern void* (*allocateReaderWindow)(std::size_t size);

#endif
