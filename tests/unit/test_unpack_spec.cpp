// Template expansion against the real system under Wine, with the seam
// table standing in where Wine cannot be made to fail.
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "paths/environment.h"
#include "paths/system_calls.h"
#include "paths/unpack_spec.h"
#include "resources/product.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using testing_support::narrow;

constexpr std::size_t kTargetCapacity = 4096;
constexpr unsigned long long kTicksPerDay = 864000000000ULL;
constexpr char kChildMarker[] = "EXPANDED=";

std::optional<std::wstring> readVariable(const wchar_t* name) {
    std::vector<wchar_t> buffer(40000);
    const DWORD length =
        GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return std::nullopt;
    }
    return std::wstring(buffer.data(), length);
}

// Sets (or removes) a variable for one test and puts the old state back.
class ScopedVariable {
  public:
    ScopedVariable(const wchar_t* name, std::optional<std::wstring> value)
        : name_(name), saved_(readVariable(name)) {
        SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
    }
    ~ScopedVariable() {
        SetEnvironmentVariableW(name_.c_str(), saved_ ? saved_->c_str() : nullptr);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

  private:
    std::wstring name_;
    std::optional<std::wstring> saved_;
};

// Replaces the runtime's wide argument vector for one test.
class ScopedProgram {
  public:
    explicit ScopedProgram(const wchar_t* program) : saved_(__wargv) {
        argv_[0] = const_cast<wchar_t*>(program);
        argv_[1] = nullptr;
        __wargv = argv_;
    }
    ~ScopedProgram() { __wargv = saved_; }
    ScopedProgram(const ScopedProgram&) = delete;
    ScopedProgram& operator=(const ScopedProgram&) = delete;

  private:
    wchar_t** saved_;
    wchar_t* argv_[2] = {};
};

std::optional<std::wstring> expand(const std::wstring& spec,
                                   std::size_t capacity = kTargetCapacity) {
    std::vector<wchar_t> output(capacity + 1, L'#');
    const bool expanded = expandUnpackSpec(output.data(), spec.c_str(), capacity);
    // Nothing may land beyond the capacity, whatever the result.
    EXPECT_EQ(output[capacity], L'#') << "wrote past the capacity for " << narrow(spec);
    if (!expanded) {
        return std::nullopt;
    }
    return std::wstring(output.data());
}

std::wstring stripTrailingBackslashes(std::wstring text) {
    while (!text.empty() && text.back() == L'\\') {
        text.pop_back();
    }
    return text;
}

std::wstring systemFolder(int folder) {
    wchar_t path[MAX_PATH] = {};
    EXPECT_EQ(SHGetFolderPathW(nullptr, folder, nullptr, 0, path), S_OK);
    return stripTrailingBackslashes(path);
}

std::wstring systemTempPathWithBackslash() {
    wchar_t path[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, path);
    return path;
}

unsigned long long currentTicks() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool isAllDigits(const std::wstring& text) {
    if (text.empty()) {
        return false;
    }
    for (const wchar_t unit : text) {
        if (unit < L'0' || unit > L'9') {
            return false;
        }
    }
    return true;
}

std::wstring ownExecutable() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return std::wstring(path, length);
}

// Fakes for the seam table.
HRESULT WINAPI failingFolderPath(HWND, int, HANDLE, DWORD, LPWSTR path) {
    path[0] = L'\0';
    return E_FAIL;
}

HRESULT WINAPI missingFolderPath(HWND, int, HANDLE, DWORD, LPWSTR path) {
    wcscpy_s(path, MAX_PATH, L"C:\\users\\nobody");
    return S_FALSE;
}

HRESULT WINAPI folderWithBackslashes(HWND, int, HANDLE, DWORD, LPWSTR path) {
    wcscpy_s(path, MAX_PATH, L"C:\\Folder\\\\\\");
    return S_OK;
}

DWORD WINAPI tempWithBackslashes(DWORD length, LPWSTR buffer) {
    const std::wstring text = L"C:\\Temporary\\\\\\";
    if (length <= text.size()) {
        return static_cast<DWORD>(text.size() + 1);
    }
    wcscpy_s(buffer, length, text.c_str());
    return static_cast<DWORD>(text.size());
}

DWORD WINAPI tempDeliversNothing(DWORD, LPWSTR) {
    return 0;
}

class UnpackSpec : public ::testing::Test {
  protected:
    void TearDown() override { systemCalls = defaultSystemCalls(); }

    // Most tests want neither an inherited parent nor a published time.
    ScopedVariable parent_{L"TAMBRO_ONEFILE_PARENT", std::nullopt};
    ScopedVariable start_{L"TAMBRO_ONEFILE_START", std::nullopt};
};

TEST_F(UnpackSpec, LiteralTextIsCopiedUnchanged) {
    EXPECT_EQ(expand(L""), L"");
    EXPECT_EQ(expand(L"C:\\plain/text\\"), L"C:\\plain/text\\");
    // A closing brace with no name open is an ordinary code unit.
    EXPECT_EQ(expand(L"a}b"), L"a}b");
    EXPECT_EQ(expand(L"{COMPANY}}"), L"Corvellinth}");
}

TEST_F(UnpackSpec, TempIsTheSystemsWithoutTrailingBackslashInAnyCase) {
    const std::wstring temp = systemTempPathWithBackslash();
    ASSERT_EQ(temp.back(), L'\\');
    const std::wstring expected = stripTrailingBackslashes(temp);
    EXPECT_EQ(expand(L"{TEMP}"), expected);
    EXPECT_EQ(expand(L"{temp}"), expected);
    EXPECT_EQ(expand(L"{Temp}\\x"), expected + L"\\x");
}

TEST_F(UnpackSpec, UnknownAndEmptyNamesFail) {
    EXPECT_EQ(expand(L"{}"), std::nullopt);
    EXPECT_EQ(expand(L"x{NOPE}"), std::nullopt);
    EXPECT_EQ(expand(L"{TEMP }"), std::nullopt);
    EXPECT_EQ(expand(L"{PROGRAM_}"), std::nullopt);
    // Longer than the name buffer: collected safely, then unknown.
    EXPECT_EQ(expand(L"{" + std::wstring(5000, L'T') + L"}"), std::nullopt);
    EXPECT_EQ(expand(L"{" + std::wstring(1023, L'T') + L"}"), std::nullopt);
}

TEST_F(UnpackSpec, UnclosedAndReopenedBraces) {
    EXPECT_EQ(expand(L"abc{TEMP"), L"abc");
    EXPECT_EQ(expand(L"abc{" + std::wstring(3000, L'x')), L"abc");
    ScopedVariable parent(L"TAMBRO_ONEFILE_PARENT", L"4242");
    EXPECT_EQ(expand(L"{A{PID}"), L"4242");
    EXPECT_EQ(expand(L"{NOPE{PID}_{PID}"), L"4242_4242");
}

TEST_F(UnpackSpec, ProcessIdFollowsTheParentVariable) {
    EXPECT_EQ(expand(L"{PID}"), std::to_wstring(GetCurrentProcessId()));
    {
        ScopedVariable parent(L"TAMBRO_ONEFILE_PARENT", L"12");
        EXPECT_EQ(expand(L"{PID}"), L"12");
        EXPECT_EQ(expand(L"{pid}"), L"12");
    }
    {
        // An empty variable counts as unset.
        ScopedVariable parent(L"TAMBRO_ONEFILE_PARENT", L"");
        EXPECT_EQ(expand(L"{PID}"), std::to_wstring(GetCurrentProcessId()));
    }
}

TEST_F(UnpackSpec, ProcessIdWithANonDigitEndsTheProcess) {
    for (const wchar_t* value : {L"12a", L"-12", L" 12"}) {
        EXPECT_EXIT(
            {
                routeAbortAwayFromDialogs();
                SetEnvironmentVariableW(L"TAMBRO_ONEFILE_PARENT", value);
                expand(L"{PID}");
                fprintf(stderr, "survived\n");
                exit(0);
            },
            ExitedWithCode(3), "")
            << narrow(value);
    }
}

TEST_F(UnpackSpec, TimeIsPublishedOnceAndReused) {
    const unsigned long long before = currentTicks();
    const std::optional<std::wstring> first = expand(L"{TIME}");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), 18u);
    ASSERT_TRUE(isAllDigits(*first));
    const unsigned long long ticks = std::stoull(*first);
    EXPECT_GE(ticks + kTicksPerDay, before);
    EXPECT_LE(ticks, currentTicks() + kTicksPerDay);

    EXPECT_EQ(readVariable(L"TAMBRO_ONEFILE_START"), first);
    Sleep(20);
    EXPECT_EQ(expand(L"{time}"), first);
    EXPECT_EQ(expand(L"{TIME}_{TIME}"), *first + L"_" + *first);
}

TEST_F(UnpackSpec, PublishedTimeIsUsedUnchecked) {
    ScopedVariable start(L"TAMBRO_ONEFILE_START", L"not a number\\");
    EXPECT_EQ(expand(L"{TIME}"), L"not a number\\");
}

TEST_F(UnpackSpec, HomeAndCacheDirAreTheSystemsFolders) {
    EXPECT_EQ(expand(L"{HOME}"), systemFolder(CSIDL_PROFILE));
    EXPECT_EQ(expand(L"{cache_dir}\\x"), systemFolder(CSIDL_LOCAL_APPDATA) + L"\\x");
}

TEST_F(UnpackSpec, FolderLookupFailureFails) {
    for (const auto fake : {failingFolderPath, missingFolderPath}) {
        systemCalls.getFolderPath = fake;
        EXPECT_EQ(expand(L"{HOME}"), std::nullopt);
        EXPECT_EQ(expand(L"a{CACHE_DIR}"), std::nullopt);
    }
}

TEST_F(UnpackSpec, TrailingBackslashesGoOnlyAfterFolderPlaceholders) {
    systemCalls.getTempPath = tempWithBackslashes;
    EXPECT_EQ(expand(L"{TEMP}\\x"), L"C:\\Temporary\\x");
    systemCalls.getFolderPath = folderWithBackslashes;
    EXPECT_EQ(expand(L"{HOME}"), L"C:\\Folder");
    EXPECT_EQ(expand(L"{CACHE_DIR}"), L"C:\\Folder");

    ScopedVariable start(L"TAMBRO_ONEFILE_START", L"9\\\\");
    EXPECT_EQ(expand(L"{TIME}"), L"9\\\\");
    ScopedProgram program(L"D:\\App\\\\\\");
    EXPECT_EQ(expand(L"{PROGRAM_DIR}"), L"D:\\App\\\\");
}

TEST_F(UnpackSpec, TempThatDeliversNothingStillExpands) {
    // Wine gives nothing for a TMP longer than MAX_PATH; the seam covers a
    // system where that does not hold.
    ScopedVariable tmp(L"TMP", L"C:\\" + std::wstring(400, L'x'));
    wchar_t probe[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, probe) != 0 || probe[0] != L'\0') {
        systemCalls.getTempPath = tempDeliversNothing;
    }
    const std::optional<std::wstring> target = expand(product::kUnpackSpec);
    ASSERT_TRUE(target.has_value());
    EXPECT_THAT(*target, ::testing::StartsWith(L"\\CorvellinthOnefile\\onefile_"));
    // The removal still runs, over the text before the placeholder.
    EXPECT_EQ(expand(L"X\\\\{TEMP}"), L"X");
}

TEST_F(UnpackSpec, ProgramPlaceholders) {
    struct Case {
        const wchar_t* program;
        const wchar_t* base;
        const wchar_t* directory;
    };
    const Case cases[] = {
        {L"D:\\App\\Tool.EXE", L"D:\\App\\Tool", L"D:\\App"},
        {L"Tool.exe", L"Tool", L"Tool.exe"},
        {L"D:\\Tool.exe", L"D:\\Tool", L"D:"},
        {L"run", L"run", L"run"},
        {L".exe", L"", L".exe"},
        {L"a.exe.txt", L"a.exe.txt", L"a.exe.txt"},
        {L"C:/dir/x.eXe", L"C:/dir/x", L"C:/dir/x.eXe"},
    };
    for (const Case& c : cases) {
        ScopedProgram program(c.program);
        EXPECT_EQ(expand(L"{PROGRAM}"), c.program);
        EXPECT_EQ(expand(L"{PROGRAM_BASE}"), c.base) << narrow(c.program);
        EXPECT_EQ(expand(L"{program_dir}"), c.directory) << narrow(c.program);
    }
    // The cuts look only at what the nested expansion wrote.
    ScopedProgram program(L"xe");
    EXPECT_EQ(expand(L"Tool.e{PROGRAM_BASE}"), L"Tool.exe");
    EXPECT_EQ(expand(L"D:\\dir\\{PROGRAM_DIR}"), L"D:\\dir\\xe");
}

TEST_F(UnpackSpec, ProgramWithoutArgumentVectorEndsTheProcess) {
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            wchar_t* empty[1] = {nullptr};
            __wargv = empty;
            expand(L"{PROGRAM_DIR}");
            exit(0);
        },
        ExitedWithCode(3), "");
}

TEST_F(UnpackSpec, CompiledInValues) {
    EXPECT_EQ(expand(L"{COMPANY}|{Product}|{version}"), L"Corvellinth|Corvellinth|2026.08.23.2");
}

TEST_F(UnpackSpec, CapacityBoundary) {
    const std::wstring literalLast = L"ab{COMPANY}c";
    const std::size_t length = std::wstring(L"abCorvellinthc").size();
    EXPECT_EQ(expand(literalLast, length + 1), L"abCorvellinthc");
    EXPECT_EQ(expand(literalLast, length), std::nullopt);
    EXPECT_EQ(expand(L"abc", 4), L"abc");
    EXPECT_EQ(expand(L"abc", 3), std::nullopt);
    EXPECT_EQ(expand(L"{COMPANY}", 12), L"Corvellinth");

    // A {TEMP} that does not fit is not delivered and adds nothing.
    const std::wstring temp = systemTempPathWithBackslash();
    EXPECT_EQ(expand(L"x{TEMP}", 1 + temp.size() + 1), L"x" + stripTrailingBackslashes(temp));
    EXPECT_EQ(expand(L"x{TEMP}", 1 + temp.size()), L"x");

    ScopedProgram program(L"D:\\App\\Tool.exe");
    EXPECT_EQ(expand(L"{PROGRAM_BASE}", 16), L"D:\\App\\Tool");
}

TEST_F(UnpackSpec, PlaceholderValueThatDoesNotFitEndsTheProcess) {
    struct Case {
        const wchar_t* spec;
        std::size_t capacity;
    };
    const Case cases[] = {
        {L"ab{COMPANY}", 13},
        {L"{VERSION}", 12},
        {L"{PID}", 2},
        {L"{PROGRAM_BASE}", 15}, // the nested expansion must hold ".exe" too
    };
    for (const Case& c : cases) {
        EXPECT_EXIT(
            {
                routeAbortAwayFromDialogs();
                SetEnvironmentVariableW(L"TAMBRO_ONEFILE_PARENT", L"123");
                ScopedProgram program(L"D:\\App\\Tool.exe");
                expand(c.spec, c.capacity);
                exit(0);
            },
            ExitedWithCode(3), "")
            << narrow(c.spec);
    }
}

TEST(AppendWide, AppendsWithinCapacityAndEndsOnOverflowOrNull) {
    wchar_t target[8] = L"ab";
    appendWide(target, L"cde", 6);
    EXPECT_STREQ(target, L"abcde");
    appendNarrowAsWide(target, "", 6);
    EXPECT_STREQ(target, L"abcde");
    appendNarrowAsWide(target, "f", 7);
    EXPECT_STREQ(target, L"abcdef");

    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            wchar_t small[8] = L"ab";
            appendWide(small, L"cde", 5);
            exit(0);
        },
        ExitedWithCode(3), "");
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            wchar_t small[8] = L"ab";
            appendNarrowAsWide(small, "cde", 5);
            exit(0);
        },
        ExitedWithCode(3), "");
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            wchar_t small[8] = L"";
            appendWide(small, nullptr, 8);
            exit(0);
        },
        ExitedWithCode(3), "");
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            wchar_t small[8] = L"";
            appendNarrowAsWide(small, nullptr, 8);
            exit(0);
        },
        ExitedWithCode(3), "");
}

TEST(AppendNarrowAsWide, ByteThatDoesNotConvertAloneEndsTheProcess) {
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            // A lead byte of a two-byte character in code page 932.
            if (setlocale(LC_ALL, "Japanese_Japan.932") == nullptr) {
                fprintf(stderr, "no such locale\n");
                exit(1);
            }
            wchar_t target[8] = L"";
            appendNarrowAsWide(target, "\x82\xa0", 8);
            exit(0);
        },
        ExitedWithCode(3), "");
}

// The child's side of ParentAndChildDeriveTheSameDirectory, run only when
// that test starts this program again.
TEST(UnpackSpecChild, DISABLED_PrintsTheUnpackSpec) {
    wchar_t target[kTargetCapacity];
    ASSERT_TRUE(expandUnpackSpec(target, product::kUnpackSpec, kTargetCapacity));
    printf("%s%s\n", kChildMarker, narrow(target).c_str());
}

TEST_F(UnpackSpec, ParentAndChildDeriveTheSameDirectory) {
    // What the start-up does before it expands: publish its own id.
    ScopedVariable parent(L"TAMBRO_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()));
    const std::optional<std::wstring> target = expand(product::kUnpackSpec);
    ASSERT_TRUE(target.has_value());
    EXPECT_THAT(narrow(*target), HasSubstr("\\CorvellinthOnefile\\onefile_" +
                                           std::to_string(GetCurrentProcessId()) + "_"));

    const testing_support::ProcessResult child = testing_support::runProcess(
        ownExecutable(), {L"--gtest_also_run_disabled_tests",
                          L"--gtest_filter=UnpackSpecChild.DISABLED_PrintsTheUnpackSpec"});
    ASSERT_EQ(child.exitCode, 0u) << child.standardOutput << child.standardError;
    const std::size_t marker = child.standardOutput.find(kChildMarker);
    ASSERT_NE(marker, std::string::npos) << child.standardOutput;
    const std::size_t begin = marker + sizeof(kChildMarker) - 1;
    const std::string line = child.standardOutput.substr(
        begin, child.standardOutput.find_first_of("\r\n", begin) - begin);
    EXPECT_EQ(line, narrow(*target));
}

} // namespace
