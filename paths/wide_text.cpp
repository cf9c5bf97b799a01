#include "paths/wide_text.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "diagnostics/diagnostics.h"

namespace {

// One byte and its terminator for mbstowcs, and room for one code unit and
// a terminator: a byte that needs more than one code unit, or that starts a
// multi-byte character, does not convert.
constexpr std::size_t kSingleCharacterCapacity = 2;

// The length of the text in buffer, found within capacity code units.
std::size_t measureTerminated(const wchar_t* buffer, std::size_t capacity) {
    for (std::size_t index = 0; index < capacity; ++index) {
        if (buffer[index] == L'\0') {
            return index;
        }
    }
    abnormalEnd();
}

} // namespace

WideText startWideText(wchar_t* buffer, std::size_t capacity) {
    if (capacity == 0) {
        abnormalEnd();
    }
    buffer[0] = L'\0';
    return {buffer, 0, capacity};
}

WideText continueWideText(wchar_t* buffer, std::size_t capacity) {
    return {buffer, measureTerminated(buffer, capacity), capacity};
}

bool tryAppendWideUnits(WideText* text, const wchar_t* units, std::size_t count) {
    // The room left behind the text, less the terminator's place; written
    // as a subtraction from the capacity so that no sum can wrap.
    if (count > text->capacity - text->length - 1) {
        return false;
    }
    memcpy(text->buffer + text->length, units, count * sizeof(wchar_t));
    text->length += count;
    text->buffer[text->length] = L'\0';
    return true;
}

void appendWideUnits(WideText* text, const wchar_t* units, std::size_t count) {
    if (!tryAppendWideUnits(text, units, count)) {
        abnormalEnd();
    }
}

void appendWideUnit(WideText* text, wchar_t unit, std::size_t count) {
    for (std::size_t done = 0; done < count; ++done) {
        appendWideUnits(text, &unit, 1);
    }
}

void appendWide(WideText* text, const wchar_t* source) {
    if (source == nullptr) {
        abnormalEnd();
    }
    appendWideUnits(text, source, wcslen(source));
}

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

void truncateWideText(WideText* text, std::size_t length) {
    if (length > text->length) {
        abnormalEnd();
    }
    text->length = length;
    text->buffer[length] = L'\0';
}

wchar_t* wideTextEnd(const WideText& text) {
    return text.buffer + text.length;
}

std::size_t wideTextRoom(const WideText& text) {
    return text.capacity - text.length;
}

void adoptWrittenText(WideText* text) {
    text->length += measureTerminated(wideTextEnd(*text), wideTextRoom(*text));
}
