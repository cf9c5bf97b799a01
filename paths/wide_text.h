// Wide text (UTF-16 code units on Windows) built in a caller's fixed
// buffer: the wchar_t form of paths/bounded_text.h, under the names that
// the Windows launcher builds its paths and command lines with, and the
// widening of narrow text.
//
//   wchar_t path[kPathCapacity];
//   WideText text = startWideText(path, kPathCapacity);
//   appendWide(&text, directory);
//   appendWideUnit(&text, L'\\');
//
// No Windows calls: it builds natively (32-bit wchar_t) for the sanitizers
// and fuzzing.
#ifndef CORVELLINTH_PATHS_WIDE_TEXT_H
#define CORVELLINTH_PATHS_WIDE_TEXT_H

#include <cstddef>

#include "paths/bounded_text.h"

using WideText = BoundedText<wchar_t>;

inline WideText startWideText(wchar_t* buffer, std::size_t capacity) {
    return startText(buffer, capacity);
}
inline WideText continueWideText(wchar_t* buffer, std::size_t capacity) {
    return continueText(buffer, capacity);
}
[[nodiscard]] inline bool tryAppendWideUnits(WideText* text, const wchar_t* units,
                                             std::size_t count) {
    return tryAppendUnits(text, units, count);
}
inline void appendWideUnits(WideText* text, const wchar_t* units, std::size_t count) {
    appendUnits(text, units, count);
}
inline void appendWideUnit(WideText* text, wchar_t unit, std::size_t count = 1) {
    appendUnit(text, unit, count);
}
inline void appendWide(WideText* text, const wchar_t* source) {
    appendText(text, source);
}
inline void truncateWideText(WideText* text, std::size_t length) {
    truncateText(text, length);
}
inline wchar_t* wideTextEnd(const WideText& text) {
    return textEnd(text);
}
inline std::size_t wideTextRoom(const WideText& text) {
    return textRoom(text);
}

// Appends narrow source widened byte by byte with mbstowcs, each byte having
// to give exactly one code unit. Ends abnormally otherwise, when it does not
// fit, or when source is null.
void appendNarrowAsWide(WideText* text, const char* source);

#endif
