// Quoting for the child's command line: the inverse of the splitting that
// CommandLineToArgvW and the runtime's argument parser apply. Backslashes are
// literal except in a run that ends at a double quote, where 2n backslashes
// stand for n and an odd one escapes the quote. Platform-free: it also
// builds natively (32-bit wchar_t) for fuzzing.
#include "launcher/quoting.h"

#include "diagnostics/diagnostics.h"

namespace {

constexpr wchar_t kBlank = L' ';
constexpr wchar_t kTab = L'\t';
constexpr wchar_t kLineFeed = L'\n';
constexpr wchar_t kVerticalTab = L'\v';
constexpr wchar_t kQuote = L'"';
constexpr wchar_t kBackslash = L'\\';

// The text being appended to, with its current length kept so that each
// append costs one bounds check rather than a scan.
struct CommandLineCursor {
    wchar_t* text;
    std::size_t capacity;
    std::size_t length;
};

// The length of the text already in the buffer; a buffer without a
// terminator inside its capacity cannot be appended to.
std::size_t terminatedLength(const wchar_t* text, std::size_t capacity) {
    for (std::size_t index = 0; index < capacity; ++index) {
        if (text[index] == 0) {
            return index;
        }
    }
    boundsFailure();
}

// Appends count copies of unit, keeping room for the terminator behind them.
void appendUnits(CommandLineCursor* cursor, wchar_t unit, std::size_t count) {
    for (std::size_t done = 0; done < count; ++done) {
        if (cursor->length + 2 > cursor->capacity) {
            boundsFailure();
        }
        cursor->text[cursor->length] = unit;
        ++cursor->length;
        cursor->text[cursor->length] = 0;
    }
}

bool needsQuoting(const wchar_t* argument) {
    for (const wchar_t* unit = argument; *unit != 0; ++unit) {
        const wchar_t c = *unit;
        if (c == kBlank || c == kTab || c == kLineFeed || c == kVerticalTab || c == kQuote) {
            return true;
        }
    }
    return false;
}

// Walks the argument run by run: a run of backslashes is doubled when a
// quote (the escaped one, or the closing one at the end) follows it, and
// copied as it is before any other character.
void appendQuotedBody(CommandLineCursor* cursor, const wchar_t* argument) {
    const wchar_t* unit = argument;
    for (;;) {
        std::size_t backslashes = 0;
        while (*unit == kBackslash) {
            ++backslashes;
            ++unit;
        }
        if (*unit == 0) {
            appendUnits(cursor, kBackslash, 2 * backslashes);
            return;
        }
        if (*unit == kQuote) {
            appendUnits(cursor, kBackslash, 2 * backslashes + 1);
        } else {
            appendUnits(cursor, kBackslash, backslashes);
        }
        appendUnits(cursor, *unit, 1);
        ++unit;
    }
}

} // namespace

void appendQuotedArgument(wchar_t* commandLine, std::size_t capacity, const wchar_t* argument) {
    CommandLineCursor cursor{commandLine, capacity, terminatedLength(commandLine, capacity)};
    if (!needsQuoting(argument)) {
        for (const wchar_t* unit = argument; *unit != 0; ++unit) {
            appendUnits(&cursor, *unit, 1);
        }
        return;
    }
    appendUnits(&cursor, kQuote, 1);
    appendQuotedBody(&cursor, argument);
    appendUnits(&cursor, kQuote, 1);
}
