// Environment access by narrow name, against Wine's process environment;
// what a child process sees is reported by a second copy of this program.
#include <windows.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "paths/environment.h"
#include "tests/support/process.h"

namespace {

using ::testing::ExitedWithCode;

constexpr char kInherited[] = "CORVELLINTH_TEST_INHERITED";
constexpr char kRemoved[] = "CORVELLINTH_TEST_REMOVED";
constexpr char kLongest[] = "CORVELLINTH_TEST_LONGEST";
constexpr char kTooLong[] = "CORVELLINTH_TEST_TOO_LONG";
constexpr std::size_t kLongestValue = 32767;

std::wstring wide(const char* text) {
    return testing_support::widen(text);
}

std::wstring ownExecutable() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return std::wstring(path, length);
}

// Takes the value over so that the test cannot leak it.
std::optional<std::wstring> take(wchar_t* value) {
    if (value == nullptr) {
        return std::nullopt;
    }
    std::wstring text(value);
    free(value);
    return text;
}

// Runs the reporting helper below in a child with the given environment
// changes on top of this process's environment; returns name -> report.
std::map<std::string, std::string>
reportFromChild(const std::map<std::wstring, std::optional<std::wstring>>& changes = {}) {
    testing_support::RunOptions options;
    options.environment = changes;
    const testing_support::ProcessResult child = testing_support::runProcess(
        ownExecutable(),
        {L"--gtest_also_run_disabled_tests",
         L"--gtest_filter=EnvironmentChild.DISABLED_ReportsWhatItInherited"},
        options);
    EXPECT_EQ(child.exitCode, 0u) << child.standardOutput << child.standardError;
    std::map<std::string, std::string> reports;
    std::size_t at = 0;
    while ((at = child.standardOutput.find("REPORT ", at)) != std::string::npos) {
        const std::size_t nameEnd = child.standardOutput.find(' ', at + 7);
        const std::size_t lineEnd = child.standardOutput.find_first_of("\r\n", nameEnd);
        reports[child.standardOutput.substr(at + 7, nameEnd - at - 7)] =
            child.standardOutput.substr(nameEnd + 1, lineEnd - nameEnd - 1);
        at = lineEnd;
    }
    return reports;
}

class Environment : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const char* name : {kInherited, kRemoved, kLongest, kTooLong}) {
            SetEnvironmentVariableW(wide(name).c_str(), nullptr);
        }
    }
};

TEST_F(Environment, SetValueReadsBackAsSeparateCopies) {
    EXPECT_TRUE(setEnvironmentValueA(kInherited, L"value \x00e9\x4e2d"));
    wchar_t* const first = getEnvironmentValueA(kInherited);
    wchar_t* const second = getEnvironmentValue(wide(kInherited).c_str());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_STREQ(first, L"value \x00e9\x4e2d");
    first[0] = L'X';
    EXPECT_STREQ(second, L"value \x00e9\x4e2d");
    free(first);
    free(second);

    setEnvironmentValueA(kInherited, L"changed");
    EXPECT_EQ(take(getEnvironmentValueA(kInherited)), L"changed");
}

TEST_F(Environment, AbsentEmptyAndRemovedReadAsNothing) {
    EXPECT_EQ(getEnvironmentValueA(kRemoved), nullptr);
    unsetEnvironmentValueA(kRemoved); // harmless when missing
    ASSERT_TRUE(SetEnvironmentVariableW(wide(kRemoved).c_str(), L""));
    EXPECT_EQ(getEnvironmentValueA(kRemoved), nullptr);
    setEnvironmentValueA(kInherited, L"stays");
    setEnvironmentValueA(kRemoved, L"goes");
    unsetEnvironmentValueA(kRemoved);
    EXPECT_EQ(getEnvironmentValueA(kRemoved), nullptr);
    EXPECT_EQ(take(getEnvironmentValueA(kInherited)), L"stays");
}

TEST_F(Environment, NamesHaveAtMost39Characters) {
    const std::string name(39, 'N');
    setEnvironmentValueA(name.c_str(), L"long name");
    EXPECT_EQ(take(getEnvironmentValue(wide(name.c_str()).c_str())), L"long name");
    unsetEnvironmentValueA(name.c_str());
    EXPECT_EQ(getEnvironmentValueA(name.c_str()), nullptr);

    const std::string tooLong(40, 'N');
    const std::vector<std::function<void()>> statements = {
        [&] { getEnvironmentValueA(tooLong.c_str()); },
        [&] { setEnvironmentValueA(tooLong.c_str(), L"x"); },
        [&] { unsetEnvironmentValueA(tooLong.c_str()); },
    };
    for (const auto& statement : statements) {
        EXPECT_EXIT(
            {
                routeAbortAwayFromDialogs();
                statement();
                exit(0);
            },
            ExitedWithCode(3), "");
    }
}

// In the runtime's C locale every byte converts alone (to the code unit of
// the same value), so the case needs a locale with multi-byte characters:
// in code page 932, 0x82 0xA0 is one character, but 0x82 alone is not.
TEST_F(Environment, NameByteThatDoesNotConvertAloneEndsTheProcess) {
    ASSERT_NE(setlocale(LC_ALL, "Japanese_Japan.932"), nullptr);
    wchar_t whole[4] = {};
    EXPECT_EQ(mbstowcs(whole, "\x82\xa0", 4), 1u);
    setlocale(LC_ALL, "C");
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            setlocale(LC_ALL, "Japanese_Japan.932");
            getEnvironmentValueA("AB\x82\xa0");
            exit(0);
        },
        ExitedWithCode(3), "");
}

// The child's side of the tests below: what this process inherited, read
// through the operations under test.
TEST(EnvironmentChild, DISABLED_ReportsWhatItInherited) {
    for (const char* name : {kInherited, kRemoved, kLongest, kTooLong}) {
        const std::optional<std::wstring> value = take(getEnvironmentValueA(name));
        if (!value) {
            printf("REPORT %s absent\n", name);
        } else if (value->size() > 64) {
            const bool uniform = value->find_first_not_of(L'v') == std::wstring::npos;
            printf("REPORT %s %zu%s\n", name, value->size(), uniform ? " units of v" : " mixed");
        } else {
            printf("REPORT %s =%s\n", name, testing_support::narrow(*value).c_str());
        }
    }
}

TEST_F(Environment, ChildStartedAfterwardsInheritsChanges) {
    SetEnvironmentVariableW(wide(kRemoved).c_str(), L"set before");
    setEnvironmentValueA(kInherited, L"from the parent");
    unsetEnvironmentValueA(kRemoved);
    std::map<std::string, std::string> reports = reportFromChild();
    EXPECT_EQ(reports[kInherited], "=from the parent");
    EXPECT_EQ(reports[kRemoved], "absent");
}

// Wine's SetEnvironmentVariableW keeps at most 32766 code units of a value,
// but a child's environment block carries longer ones as given.
TEST_F(Environment, LongestReadableValueIs32767Units) {
    setEnvironmentValueA(kLongest, std::wstring(32766, L'v').c_str());
    const std::optional<std::wstring> inProcess = take(getEnvironmentValueA(kLongest));
    ASSERT_TRUE(inProcess.has_value());
    EXPECT_EQ(inProcess->size(), 32766u);
    unsetEnvironmentValueA(kLongest);

    std::map<std::string, std::string> reports =
        reportFromChild({{wide(kLongest), std::wstring(kLongestValue, L'v')},
                         {wide(kTooLong), std::wstring(kLongestValue + 1, L'v')}});
    EXPECT_EQ(reports[kLongest], "32767 units of v");
    EXPECT_EQ(reports[kTooLong], "absent");
}

} // namespace
