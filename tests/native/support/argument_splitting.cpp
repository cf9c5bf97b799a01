#include "tests/native/support/argument_splitting.h"

#include <cstddef>
#include <cwchar>
#include <memory>
#include <vector>

#include "launcher/quoting.h"

namespace native_support {
namespace {

bool isSeparator(wchar_t unit) {
    return unit == L' ' || unit == L'\t';
}

// The state of one argument being collected.
struct Splitter {
    std::wstring_view text;
    SplitRules rules;
    std::size_t at = 0;
    bool quoted = false;
    std::size_t quoteRun = 0; // CommandLineToArgv: quotes counted in the current run

    bool more() const { return at < text.size(); }
    wchar_t next() const { return text[at]; }

    // An unescaped quote at `at`: opens or closes a quoted part, or, in a
    // run of quotes, stands for a literal one.
    void takeQuote(std::wstring& argument) {
        ++at;
        if (rules == SplitRules::runtimeLibrary) {
            if (quoted && more() && next() == L'"') {
                argument.push_back(L'"');
                ++at;
            } else {
                quoted = !quoted;
            }
            return;
        }
        std::size_t count = quoted ? 2 : 1; // the opening quote counts too
        while (more() && next() == L'"') {
            ++at;
            if (++count == 3) {
                argument.push_back(L'"');
                count = 0;
            }
        }
        quoted = count == 1;
    }

    void takeBackslashes(std::wstring& argument) {
        std::size_t count = 0;
        while (more() && next() == L'\\') {
            ++count;
            ++at;
        }
        if (!more() || next() != L'"') {
            argument.append(count, L'\\');
            return;
        }
        argument.append(count / 2, L'\\');
        if (count % 2 == 1) {
            argument.push_back(L'"');
            ++at;
        }
    }

    std::wstring takeArgument() {
        std::wstring argument;
        quoted = false;
        while (more() && (quoted || !isSeparator(next()))) {
            const wchar_t unit = next();
            if (unit == L'\\') {
                takeBackslashes(argument);
            } else if (unit == L'"') {
                takeQuote(argument);
            } else {
                argument.push_back(unit);
                ++at;
            }
        }
        return argument;
    }
};

} // namespace

std::vector<std::wstring> splitArguments(std::wstring_view text, SplitRules rules) {
    Splitter splitter{text, rules};
    std::vector<std::wstring> arguments;
    for (;;) {
        while (splitter.more() && isSeparator(splitter.next())) {
            ++splitter.at;
        }
        if (!splitter.more()) {
            return arguments;
        }
        arguments.push_back(splitter.takeArgument());
    }
}

std::wstring quoteArguments(const std::vector<std::wstring>& arguments, std::size_t capacity) {
    // Exactly capacity units on the heap, so that the sanitizer sees any
    // write past them.
    const auto buffer = std::make_unique<wchar_t[]>(capacity);
    std::vector<const wchar_t*> vector;
    for (const std::wstring& argument : arguments) {
        vector.push_back(argument.c_str());
    }
    WideText commandLine = startWideText(buffer.get(), capacity);
    appendQuotedArguments(&commandLine, vector.data(), vector.size());
    return buffer.get();
}

} // namespace native_support
