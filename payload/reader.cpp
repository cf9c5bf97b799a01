// The decompressing reader. One zstd decoder with its default limits (a
// window of at most 2^27 bytes) turns the frame into the entry stream; the
// output lands in a 128 KiB heap window, and the decoder is called again
// only when every byte of the window has been handed out. The compressed
// input is read where it lies, in the mapped resource.
#include "payload/reader.h"

#include <stdlib.h>
#include <string.h>

#include <zstd.h>

#include "diagnostics/diagnostics.h"
#include "payload/format.h"

namespace {

// Process-wide, main thread only; launcher/state.h lists them all.
ZSTD_DCtx* decoder = nullptr;
ZSTD_inBuffer input = {nullptr, 0, 0};
unsigned char* window = nullptr;
std::uint64_t produced = 0; // valid bytes in the window
std::uint64_t consumed = 0; // of those, already handed out
// The last decoder call filled the window, so the decoder may hold output
// that did not fit, even when all input has been taken.
bool windowWasFilled = false;

[[noreturn]] void failDecoding() {
    fatalError("Error, couldn't decode attached data.");
}

// Calls the decoder until it produces something. A call may consume input
// and produce nothing (at block and frame boundaries), so an empty result is
// retried; the loop ends because every call either consumes input, empties
// a filled window, or fails. Bytes after the frame are only ever fed to the
// decoder when more output is wanted after the frame's end, and then the
// decoder refuses them as a frame.
void refillWindow() {
    do {
        if (input.pos >= input.size && !windowWasFilled) {
            failDecoding();
        }
        ZSTD_outBuffer output = {window, attached::kWindowSize, 0};
        const size_t result = ZSTD_decompressStream(decoder, &output, &input);
        if (ZSTD_isError(result)) {
            failDecoding();
        }
        produced = output.pos;
        consumed = 0;
        windowWasFilled = produced == attached::kWindowSize;
    } while (produced == 0);
}

} // namespace

void* (*allocateReaderWindow)(std::size_t size) = malloc;

void createReader(const unsigned char* bytes, std::uint64_t size) {
    input.src = bytes;
    input.size = size;
    window = static_cast<unsigned char*>(allocateReaderWindow(attached::kWindowSize));
    if (window == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
    decoder = ZSTD_createDCtx();
    if (decoder == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
    produced = 0;
    consumed = 0;
    input.pos = 0;
    windowWasFilled = false;
}

void readAttachedBytes(void* destination, std::uint64_t count) {
    unsigned char* out = static_cast<unsigned char*>(destination);
    while (count != 0) {
        if (consumed == produced) {
            refillWindow();
        }
        if (consumed > produced || produced > attached::kWindowSize) {
            abnormalEnd();
        }
        const std::uint64_t available = produced - consumed;
        const std::uint64_t chunk = count < available ? count : available;
        memcpy(out, window + consumed, chunk);
        out += chunk;
        consumed += chunk;
        count -= chunk;
    }
}

const unsigned char* readerInputPosition() {
    return static_cast<const unsigned char*>(input.src) + input.pos;
}

void releaseReader() {
    ZSTD_freeDCtx(decoder);
    decoder = nullptr;
    free(window);
    window = nullptr;
}
