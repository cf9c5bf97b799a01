// Quoting one argument into the child's command line: whatever goes in must
// come back out of CommandLineToArgvW unchanged, and the buffer's capacity
// must hold exactly.
#include <windows.h>
#include <shellapi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "launcher/quoting.h"

namespace {

constexpr std::size_t kCapacity = 32768;

std::wstring quoted(const std::wstring& prefix, const std::wstring& argument) {
    std::vector<wchar_t> buffer(kCapacity, L'\0');
    prefix.copy(buffer.data(), prefix.size());
    WideText commandLine = continueWideText(buffer.data(), buffer.size());
    appendQuotedArgument(&commandLine, argument.c_str());
    return buffer.data();
}

// Splits "program <quoted argument>" again; the program name is parsed by
// its own rules, so the argument must not come first.
std::vector<std::wstring> splitAgain(const std::wstring& argument) {
    const std::wstring commandLine = quoted(L"program ", argument);
    int count = 0;
    LPWSTR* const parts = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> result(parts + 1, parts + count);
    LocalFree(parts);
    return result;
}

TEST(Quoting, TrickyArgumentsSurviveTheRoundTrip) {
    const std::vector<std::wstring> arguments = {
        L"plain",
        L"two words",
        L"C:\\path\\ends\\in\\",
        L"C:\\dir with blank\\",
        L"say \"hi\"",
        L"\\\\\"",
        L"a\\\\\"b",
        L"\"",
        L"\\",
        L"",
        L"tab\there",
        L"line\nfeed",
        L"vertical\vtab",
        L" starts with blank",
        L"\\\"quoted\\\"",
        L"\u00e9t\u00e9 \u65e5\u672c \U0001F600",
        L"\\\\server\\share name\\x\\\\",
    };
    for (const std::wstring& argument : arguments) {
        EXPECT_THAT(splitAgain(argument), ::testing::ElementsAre(argument))
            << "as quoted: " << testing::PrintToString(quoted(L"", argument));
    }
}

TEST(Quoting, RandomArgumentsFromTheAwkwardCharactersSurvive) {
    const std::wstring alphabet = L"a \t\n\v\"\\\u00e9";
    std::mt19937 random(20260823);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<std::size_t> length(1, 12);
    for (int round = 0; round < 3000; ++round) {
        std::wstring argument;
        for (std::size_t n = length(random); n > 0; --n) {
            argument.push_back(alphabet[pick(random)]);
        }
        ASSERT_THAT(splitAgain(argument), ::testing::ElementsAre(argument))
            << "as quoted: " << testing::PrintToString(quoted(L"", argument));
    }
}

TEST(Quoting, QuotesOnlyWhenNeededAndDoublesBackslashesBeforeTheClosingQuote) {
    EXPECT_EQ(quoted(L"", L"C:\\plain\\path\\"), L"C:\\plain\\path\\");
    EXPECT_EQ(quoted(L"", L"a\\\"b"), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(quoted(L"", L"C:\\a b\\"), L"\"C:\\a b\\\\\"");
    EXPECT_EQ(quoted(L"", L"x\\y z"), L"\"x\\y z\"");
    // Appends behind what is there; an empty argument is a pair of quotes.
    EXPECT_EQ(quoted(L"first ", L"second"), L"first second");
    EXPECT_EQ(quoted(L"first ", L""), L"first \"\"");
}

// Appends behind one code unit already in a buffer of exactly capacity.
void appendIntoCapacity(const wchar_t* argument, std::size_t capacity) {
    std::vector<wchar_t> buffer(capacity, L'\0');
    buffer[0] = L'x';
    WideText commandLine = continueWideText(buffer.data(), capacity);
    appendQuotedArgument(&commandLine, argument);
}

TEST(QuotingDeathTest, TheTerminatorMustFitAsWell) {
    // "x" and "\"a b\\\\\"" are 8 code units.
    appendIntoCapacity(L"a b\\", 9);
    appendIntoCapacity(L"abc", 5);
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            appendIntoCapacity(L"a b\\", 8);
        },
        ::testing::ExitedWithCode(3), "");
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            appendIntoCapacity(L"abc", 4);
        },
        ::testing::ExitedWithCode(3), "");
}

} // namespace
