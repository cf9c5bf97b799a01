#include "paths/bounded_text.h"

#include <string.h>

#include "diagnostics/diagnostics.h"

namespace {

// The length of the text in buffer, found within capacity code units.
template <typename Unit> std::size_t measureTerminated(const Unit* buffer, std::size_t capacity) {
    for (std::size_t index = 0; index < capacity; ++index) {
        if (buffer[index] == Unit{0}) {
            return index;
        }
    }
    abnormalEnd();
}

} // namespace

template <typename Unit> BoundedText<Unit> startText(Unit* buffer, std::size_t capacity) {
    if (capacity == 0) {
        abnormalEnd();
    }
    buffer[0] = Unit{0};
    return {buffer, 0, capacity};
}

template <typename Unit> BoundedText<Unit> continueText(Unit* buffer, std::size_t capacity) {
    return {buffer, measureTerminated(buffer, capacity), capacity};
}

template <typename Unit>
bool tryAppendUnits(BoundedText<Unit>* text, const Unit* units, std::size_t count) {
    // The room left behind the text, less the terminator's place; written
    // as a subtraction from the capacity so that no sum can wrap.
    if (count > text->capacity - text->length - 1) {
        return false;
    }
    memcpy(text->buffer + text->length, units, count * sizeof(Unit));
    text->length += count;
    text->buffer[text->length] = Unit{0};
    return true;
}

template <typename Unit>
void appendUnits(BoundedText<Unit>* text, const Unit* units, std::size_t count) {
    if (!tryAppendUnits(text, units, count)) {
        abnormalEnd();
    }
}

template <typename Unit> void appendUnit(BoundedText<Unit>* text, Unit unit, std::size_t count) {
    for (std::size_t done = 0; done < count; ++done) {
        appendUnits(text, &unit, 1);
    }
}

template <typename Unit> void appendText(BoundedText<Unit>* text, const Unit* source) {
    if (source == nullptr) {
        abnormalEnd();
    }
    std::size_t length = 0;
    while (source[length] != Unit{0}) {
        ++length;
    }
    appendUnits(text, source, length);
}

template <typename Unit> void truncateText(BoundedText<Unit>* text, std::size_t length) {
    if (length > text->length) {
        abnormalEnd();
    }
    text->length = length;
    text->buffer[length] = Unit{0};
}

template <typename Unit> Unit* textEnd(const BoundedText<Unit>& text) {
    return text.buffer + text.length;
}

template <typename Unit> std::size_t textRoom(const BoundedText<Unit>& text) {
    return text.capacity - text.length;
}

template <typename Unit> void adoptWrittenText(BoundedText<Unit>* text) {
    text->length += measureTerminated(textEnd(*text), textRoom(*text));
}

CORVELLINTH_BOUNDED_TEXT_FUNCTIONS(template, char)
CORVELLINTH_BOUNDED_TEXT_FUNCTIONS(template, wchar_t)
