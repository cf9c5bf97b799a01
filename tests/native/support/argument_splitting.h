// Splitting a command line's arguments (everything after the program name)
// the way Windows programs receive them, for checking the quoting natively.
// Both splitters agree on everything the quoting produces; they differ only
// in runs of unescaped double quotes, which it never writes.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_ARGUMENT_SPLITTING_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_ARGUMENT_SPLITTING_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace native_support {

enum class SplitRules {
    // CommandLineToArgvW: in a quoted part, every third quote of a run of
    // quotes is a literal one.
    commandLineToArgv,
    // The runtime library's parser: in a quoted part, "" is a literal quote
    // and the quoted part goes on.
    runtimeLibrary,
};

// Blanks and tabs separate arguments outside quotes. 2n backslashes and a
// quote give n backslashes and a quote that opens or closes a quoted part;
// 2n+1 backslashes and a quote give n backslashes and a literal quote;
// backslashes before anything else are literal.
std::vector<std::wstring> splitArguments(std::wstring_view text, SplitRules rules);

// The command line that the parent builds from arguments with
// appendQuotedArguments, in a buffer of capacity units; the launcher's
// abnormal end when it overflows.
std::wstring quoteArguments(const std::vector<std::wstring>& arguments, std::size_t capacity);

} // namespace native_support

#endif
