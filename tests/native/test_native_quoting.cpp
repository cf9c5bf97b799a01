// The child's command line quoting under the sanitizers: arguments survive
// both ways Windows splits command lines, and the capacity is exact.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "launcher/quoting.h"
#include "tests/native/support/argument_splitting.h"
#include "tests/native/support/launcher_exit.h"

namespace {

using native_support::quoteArguments;
using native_support::splitArguments;
using native_support::SplitRules;

void expectRoundTrip(const std::vector<std::wstring>& arguments) {
    const std::wstring line = quoteArguments(arguments, 1 << 16);
    for (const SplitRules rules : {SplitRules::commandLineToArgv, SplitRules::runtimeLibrary}) {
        EXPECT_EQ(splitArguments(line, rules), arguments)
            << "line: " << std::string(line.begin(), line.end());
    }
}

TEST(NativeQuoting, TrickyArgumentsComeBackUnchanged) {
    const std::vector<std::wstring> tricky = {L"plain",
                                              L"two words",
                                              L"C:\\ends\\in\\",
                                              L"C:\\dir with blank\\",
                                              L"say \"hi\"",
                                              L"\\\\\"",
                                              L"a\\\\\"b",
                                              L"\"",
                                              L"\"\"",
                                              L"\\",
                                              L"\t",
                                              L"line\nfeed",
                                              L"v\vtab",
                                              L"\\\\server\\share\\",
                                              L"trail \\\\",
                                              L"\u00e9\u4e2d\xd800"};
    for (const std::wstring& argument : tricky) {
        expectRoundTrip({argument});
    }
    expectRoundTrip(tricky);
}

TEST(NativeQuoting, EmptyArgumentsKeepTheirPlace) {
    EXPECT_EQ(quoteArguments({L""}, 3), L"\"\"");
    EXPECT_EQ(quoteArguments({L"a", L"", L"b"}, 8), L"a \"\" b");
    expectRoundTrip({L""});
    expectRoundTrip({L"", L"", L"x"});
    expectRoundTrip({L"a", L"", L"b c", L""});
}

TEST(NativeQuoting, TheCapacityHoldsExactly) {
    // a b\ needs quoting and its final backslash doubled: "a b\\" is 7
    // units, 8 with the terminator.
    const std::wstring argument = L"a b\\";
    EXPECT_EQ(quoteArguments({argument}, 8), L"\"a b\\\\\"");
    try {
        quoteArguments({argument}, 7);
        ADD_FAILURE() << "no bounds failure";
    } catch (const native_support::LauncherExit& exit) {
        EXPECT_EQ(exit.exitCode, native_support::kAbnormalExitCode);
    }
}

TEST(NativeQuoting, RandomArgumentsOfTrickyUnitsComeBackUnchanged) {
    const std::wstring alphabet = L"ab \t\"\\\n\v";
    std::mt19937 generator(20260823);
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::wstring> arguments(1 + generator() % 3);
        for (std::wstring& argument : arguments) {
            argument.resize(generator() % 9);
            for (wchar_t& unit : argument) {
                unit = alphabet[generator() % alphabet.size()];
            }
        }
        expectRoundTrip(arguments);
        if (HasFailure()) {
            return;
        }
    }
}

} // namespace
