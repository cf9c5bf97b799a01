#include "paths/wide_text.h"

#include <stdlib.h>

#include "diagnostics/diagnostics.h"

namespace {

// One byte and its terminator for mbstowcs, and room for one code unit and
// a terminator: a byte that needs more than one code unit, or that starts a
// multi-byte character, does not convert.
constexpr std::size_t kSingleCharacterCapacity = 2;

} // namespace

void appendNarrowAsWide(WideText* text, const char* source) {
    if (source == nullptr) {
        abnormalEnd();
    }
    for (const char* cursor = source; *cursor != '\0'; ++cursor) {
        const char single[kSingleCharacterCapacity] = {*cursor, '\0'};
        wchar_t converted[kSingleCharacterCapacity] = {};
        // Byte by byte on purpose: a narrow name must be one code unit per
        // byte.
        if (mbstowcs(converted, single, kSingleCharacterCapacity) != 1) {
            abnormalEnd();
        }
        appendWideUnit(text, converted[0]);
    }
}
