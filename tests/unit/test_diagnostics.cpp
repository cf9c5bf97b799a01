// The three ways of ending, run in a child process by gtest's death tests:
// message, channel and exit code.
#include <windows.h>
#include <io.h>
#include <stdio.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "diagnostics/diagnostics.h"

namespace {

// Death tests match standard error only; fatalError writes to standard
// output, so point that at standard error first.
void sendStandardOutputToStandardError() {
    fflush(stdout);
    _dup2(_fileno(stderr), _fileno(stdout));
}

TEST(FatalError, WritesTheLineToStandardOutputAndExitsTwo) {
    EXPECT_EXIT(
        {
            sendStandardOutputToStandardError();
            fatalError("Error, couldn't decode attached data.");
        },
        ::testing::ExitedWithCode(2), "^Error, couldn't decode attached data\\.\n$");
}

TEST(FatalSystemError, PrintsCodeAndTheSystemsTextWithItsLineBreak) {
    EXPECT_EXIT(fatalSystemError("Error, load DLL.", ERROR_FILE_NOT_FOUND),
                ::testing::ExitedWithCode(2), ::testing::Truly([](const std::string& text) {
                    // The system's text keeps its own line break, so ")" starts the
                    // next line.
                    const std::string start = "Error, load DLL. ([Error 2] ";
                    const size_t close = text.find(")", start.size());
                    return text.rfind(start, 0) == 0 && close != std::string::npos &&
                           text.find_first_not_of("\r\n", start.size()) < close &&
                           (text[close - 1] == '\n') && text.find('\n', close) != std::string::npos;
                }));
}

TEST(FatalSystemError, AnUnknownCodeGivesAnEmptyText) {
    EXPECT_EXIT(fatalSystemError("Error, couldn't launch child", 0x2FFFFFFF),
                ::testing::ExitedWithCode(2),
                "^Error, couldn't launch child \\(\\[Error 805306367\\] \\)\n$");
}

// Exception and HRESULT codes have the top bit set: "%ld" of the 32-bit
// value prints them negative, whatever text the system has for them.
TEST(FatalSystemError, ACodeAboveTheSignedRangePrintsAsANegativeDecimal) {
    EXPECT_EXIT(fatalSystemError("Error, load DLL.", 0xC0000135), ::testing::ExitedWithCode(2),
                "^Error, load DLL\\. \\(\\[Error -1073741515\\] ");
    EXPECT_EXIT(fatalSystemError("Error, load DLL.", 0xFFFFFFFF), ::testing::ExitedWithCode(2),
                "^Error, load DLL\\. \\(\\[Error -1\\] ");
}

TEST(FatalSpecFailure, NamesTheSpecAndEndsAbnormally) {
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            fatalSpecFailure(L"{NOPE}\\x");
        },
        ::testing::ExitedWithCode(3),
        "^Error, couldn't runtime expand spec '\\{NOPE\\}\\\\x'\\.\n");
}

TEST(AbnormalEnd, EndsWithTheAbortCodeAtOnce) {
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            abnormalEnd();
        },
        ::testing::ExitedWithCode(3), "");
}

// Counts its runs on standard error, then raises an ending of its own.
void hookThatEndsAgain() {
    static int runs = 0;
    fprintf(stderr, "hook run %d\n", ++runs);
    fflush(stderr);
    abnormalEnd();
}

// The hook runs after the message and only once: the ending it raises
// itself ends the process without running it again.
TEST(EndingHook, RunsOnceAfterTheMessageAndDoesNotRecurse) {
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            setEndingHook(hookThatEndsAgain);
            fatalOpenFailure(L"C:\\x");
        },
        ::testing::ExitedWithCode(3), ::testing::Truly([](const std::string& text) {
            const std::size_t message = text.find("Error, failed to open 'C:\\x' for writing.");
            const std::size_t hook = text.find("hook run 1");
            return message != std::string::npos && hook != std::string::npos && message < hook &&
                   text.find("hook run 2") == std::string::npos;
        }));
}

} // namespace
