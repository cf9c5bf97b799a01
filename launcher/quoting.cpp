// Quoting for the child's command line: the inverse of the splitting that
// CommandLineToArgvW and the runtime's argument parser apply. Backslashes are
// literal except in a run that ends at a double quote, where 2n backslashes
// stand for n and an odd one escapes the quote. Platform-free: it also
// builds natively (32-bit wchar_t) for fuzzing.
#include "launcher/quoting.h"

#include "diagnostics/diagnostics.h"
#include "paths/wide_text.h"

namespace {

constexpr wchar_t kBlank = L' ';
constexpr wchar_t kTab = L'\t';
constexpr wchar_t kLineFeed = L'\n';
constexpr wchar_t kVerticalTab = L'\v';
constexpr wchar_t kQuote = L'"';
constexpr wchar_t kBackslash = L'\\';

// An empty argument is quoted too: written as nothing, it would vanish
// from the child's argument vector and shift every argument after it.
bool needsQuoting(const wchar_t* argument) {
    if (*argument == 0) {
        return true;
    }
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
void appendQuotedBody(WideText* commandLine, const wchar_t* argument) {
    const wchar_t* unit = argument;
    for (;;) {
        std::size_t backslashes = 0;
        while (*unit == kBackslash) {
            ++backslashes;
            ++unit;
        }
        if (*unit == 0) {
            appendWideUnit(commandLine, kBackslash, 2 * backslashes);
            return;
        }
        if (*unit == kQuote) {
            appendWideUnit(commandLine, kBackslash, 2 * backslashes + 1);
        } else {
            appendWideUnit(commandLine, kBackslash, backslashes);
        }
        appendWideUnit(commandLine, *unit);
        ++unit;
    }
}

} // namespace

void appendQuotedArgument(WideText* commandLine, const wchar_t* argument) {
    if (!needsQuoting(argument)) {
        appendWide(commandLine, argument);
        return;
    }
    appendWideUnit(commandLine, kQuote);
    appendQuotedBody(commandLine, argument);
    appendWideUnit(commandLine, kQuote);
}

void appendQuotedArguments(WideText* commandLine, const wchar_t* const* arguments,
                           std::size_t count) {
    for (std::size_t index = 0; index < count; ++index) {
        if (index != 0) {
            appendWideUnit(commandLine, kBlank);
        }
        if (arguments[index] == nullptr) {
            abnormalEnd();
        }
        appendQuotedArgument(commandLine, arguments[index]);
    }
}
