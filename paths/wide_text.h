// Wide text built in a caller's fixed buffer. The buffer, the length of the
// text in it and the buffer's capacity travel together, so an append costs
// one bounds check and never measures the text again. Capacities count
// UTF-16 code units including the terminator; the text is terminated after
// every change, and nothing is ever written beyond the capacity.
//
// At the bounds every append ends the process abnormally (abnormalEnd),
// except tryAppendWideUnits, which reports it with false and changes nothing:
// the unpack spec's literal text fails softly.
//
//   wchar_t path[kPathCapacity];
//   WideText text = startWideText(path, kPathCapacity);
//   appendWide(&text, directory);
//   appendWideUnit(&text, L'\\');
//
// No Windows calls except appendCurrentProcessId (wide_text_windows.cpp):
// the rest builds natively (32-bit wchar_t) for the sanitizers and fuzzing.
#ifndef CORVELLINTH_PATHS_WIDE_TEXT_H
#define CORVELLINTH_PATHS_WIDE_TEXT_H

#include <cstddef>

struct WideText {
    wchar_t* buffer;
    std::size_t length;   // code units before the terminator
    std::size_t capacity; // code units in buffer, terminator included
};

// An empty text at the start of buffer. Ends abnormally when capacity is 0.
WideText startWideText(wchar_t* buffer, std::size_t capacity);

// The text already in buffer, to append to. Ends abnormally when buffer
// holds no terminator within capacity.
WideText continueWideText(wchar_t* buffer, std::size_t capacity);

// Appends count code units when they fit with the terminator behind them;
// otherwise returns false and leaves the text as it was. Every append below
// comes through here: it is the only bounds check.
[[nodiscard]] bool tryAppendWideUnits(WideText* text, const wchar_t* units, std::size_t count);

// Appends count code units, or ends abnormally when they do not fit.
void appendWideUnits(WideText* text, const wchar_t* units, std::size_t count);

// Appends count copies of unit, or ends abnormally when they do not fit.
void appendWideUnit(WideText* text, wchar_t unit, std::size_t count = 1);

// Appends the zero-terminated source, or ends abnormally when it does not fit
// or source is null.
void appendWide(WideText* text, const wchar_t* source);

// Appends narrow source widened byte by byte with mbstowcs, each byte having
// to give exactly one code unit. Ends abnormally otherwise, when it does not
// fit, or when source is null.
void appendNarrowAsWide(WideText* text, const char* source);

inline constexpr std::size_t kProcessIdTextCapacity = 128; // "%ld" of a process id

// Appends the current process identifier, formatted "%ld" as narrow text of
// at most kProcessIdTextCapacity bytes and widened with appendNarrowAsWide.
void appendCurrentProcessId(WideText* text);

// Cuts the text to length code units (no longer than it is now).
void truncateWideText(WideText* text, std::size_t length);

// For a writer that fills the buffer itself (a system call, a nested
// expansion): where it may write, and how many code units it may use there,
// terminator included. Never 0: the terminator's place is always there.
wchar_t* wideTextEnd(const WideText& text);
std::size_t wideTextRoom(const WideText& text);

// Takes over what such a writer put at wideTextEnd. Ends abnormally when it
// left no terminator within wideTextRoom.
void adoptWrittenText(WideText* text);

#endif
