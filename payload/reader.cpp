// The decompressing reader. One zstd decoder with its default limits (a
// window of at most 2^27 bytes) turns the frame into the entry stream; the
// output lands in a 128 KiB heap window, and the decoder is called again
// only when every byte of the window has been handed out. The compressed
// input is read where it lies, in the mapped resource. The decoder checks
// the frame's content checksum, when the frame has one, as it reaches the
// frame's end, and reports a mismatch as an error.
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
// The frame that holds the entry stream has given output, and the decoder
// has reported its end (its checksum, if any, checked).
bool frameGaveOutput = false;
bool frameEnded = false;

[[noreturn]] void failDecoding() {
    fatalError("Error, couldn't decode attached data.");
}

// One decoder call into the emptied window. Fails when nothing can come of
// it: the frame has ended, or all input is taken and the decoder holds no
// more output. Bytes after the frame are never fed to the decoder.
void decodeIntoWindow() {
    if (frameEnded || (input.pos >= input.size && !windowWasFilled)) {
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
    // A frame that gives nothing (a skippable frame) is passed over.
    frameGaveOutput = frameGaveOutput || produced != 0;
    frameEnded = result == 0 && frameGaveOutput;
}

// Calls the decoder until it produces something. A call may consume input
// and produce nothing (at block boundaries), so an empty result is retried;
// the loop ends because every call either consumes input, empties a filled
// window, ends the frame or fails.
void refillWindow() {
    do {
        decodeIntoWindow();
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
    frameGaveOutput = false;
    frameEnded = false;
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

void finishAttachedFrame() {
    for (;;) {
        if (consumed != produced) {
            failDecoding();
        }
        if (frameEnded) {
            return;
        }
        decodeIntoWindow();
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
