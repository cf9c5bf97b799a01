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

TEST(ReportSystemError, PrintsCodeAndTheSystemsTextWithItsLineBreak) {
    EXPECT_EXIT(
        {
            reportSystemError("Error, load DLL.", ERROR_FILE_NOT_FOUND);
            exit(2);
        },
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

TEST(ReportSystemError, AnUnknownCodeGivesAnEmptyText) {
    EXPECT_EXIT(
        {
            reportSystemError("Error, couldn't launch child", 0x2FFFFFFF);
            exit(2);
        },
        ::testing::ExitedWithCode(2),
        "^Error, couldn't launch child \\(\\[Error 805306367\\] \\)\n$");
}

TEST(ReportSpecFailure, NamesTheSpecAndEndsAbnormally) {
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            reportSpecFailure(L"{NOPE}\\x");
        },
        ::testing::ExitedWithCode(3),
        "^Error, couldn't runtime expand spec '\\{NOPE\\}\\\\x'\\.\n");
}

TEST(BoundsFailure, EndsWithTheAbortCodeAtOnce) {
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            boundsFailure();
        },
        ::testing::ExitedWithCode(3), "");
}

} // namespace
