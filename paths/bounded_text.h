// Text built in a caller's fixed buffer, in code units of either width:
// wchar_t (UTF-16 on Windows) or char (UTF-8 on Linux). The buffer, the
// length of the text in it and the buffer's capacity travel together, so an
// append costs one bounds check and never measures the text again.
// Capacities count code units including the terminator; the text is
// terminated after every change, and nothing is ever written beyond the
// capacity.
//
// At the bounds every append ends the process abnormally (abnormalEnd),
// except tryAppendUnits, which reports it with false and changes nothing:
// the unpack spec's literal text fails softly.
//
//   char path[kPathCapacity];
//   BoundedText<char> text = startText(path, kPathCapacity);
//   appendText(&text, directory);
//   appendUnit(&text, '/');
//
// No system calls: it builds and is fuzzed natively for both widths.
#ifndef CORVELLINTH_PATHS_BOUNDED_TEXT_H
#define CORVELLINTH_PATHS_BOUNDED_TEXT_H

#include <cstddef>

template <typename Unit> struct BoundedText {
    Unit* buffer;
    std::size_t length;   // code units before the terminator
    std::size_t capacity; // code units in buffer, terminator included
};

// An empty text at the start of buffer. Ends abnormally when capacity is 0.
template <typename Unit> BoundedText<Unit> startText(Unit* buffer, std::size_t capacity);

// The text already in buffer, to append to. Ends abnormally when buffer
// holds no terminator within capacity.
template <typename Unit> BoundedText<Unit> continueText(Unit* buffer, std::size_t capacity);

// Appends count code units when they fit with the terminator behind them;
// otherwise returns false and leaves the text as it was. Every append below
// comes through here: it is the only bounds check.
template <typename Unit>
[[nodiscard]] bool tryAppendUnits(BoundedText<Unit>* text, const Unit* units, std::size_t count);

// Appends count code units, or ends abnormally when they do not fit.
template <typename Unit>
void appendUnits(BoundedText<Unit>* text, const Unit* units, std::size_t count);

// Appends count copies of unit, or ends abnormally when they do not fit.
template <typename Unit> void appendUnit(BoundedText<Unit>* text, Unit unit, std::size_t count = 1);

// Appends the zero-terminated source, or ends abnormally when it does not fit
// or source is null.
template <typename Unit> void appendText(BoundedText<Unit>* text, const Unit* source);

// Cuts the text to length code units (no longer than it is now).
template <typename Unit> void truncateText(BoundedText<Unit>* text, std::size_t length);

// For a writer that fills the buffer itself (a system call, a nested
// expansion): where it may write, and how many code units it may use there,
// terminator included. Never 0: the terminator's place is always there.
template <typename Unit> Unit* textEnd(const BoundedText<Unit>& text);
template <typename Unit> std::size_t textRoom(const BoundedText<Unit>& text);

// Takes over what such a writer put at textEnd. Ends abnormally when it
// left no terminator within textRoom.
template <typename Unit> void adoptWrittenText(BoundedText<Unit>* text);

// Defined in bounded_text.cpp for these two widths only.
#define CORVELLINTH_BOUNDED_TEXT_FUNCTIONS(prefix, Unit)                                           \
    prefix BoundedText<Unit> startText(Unit*, std::size_t);                                        \
    prefix BoundedText<Unit> continueText(Unit*, std::size_t);                                     \
    prefix bool tryAppendUnits(BoundedText<Unit>*, const Unit*, std::size_t);                      \
    prefix void appendUnits(BoundedText<Unit>*, const Unit*, std::size_t);                         \
    prefix void appendUnit(BoundedText<Unit>*, Unit, std::size_t);                                 \
    prefix void appendText(BoundedText<Unit>*, const Unit*);                                       \
    prefix void truncateText(BoundedText<Unit>*, std::size_t);                                     \
    prefix Unit* textEnd(const BoundedText<Unit>&);                                                \
    prefix std::size_t textRoom(const BoundedText<Unit>&);                                         \
    prefix void adoptWrittenText(BoundedText<Unit>*);
CORVELLINTH_BOUNDED_TEXT_FUNCTIONS(extern template, char)
CORVELLINTH_BOUNDED_TEXT_FUNCTIONS(extern template, wchar_t)

#endif
