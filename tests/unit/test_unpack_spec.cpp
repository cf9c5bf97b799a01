// Template expansion against the real system under Wine, with the seam
// table standing in where Wine cannot be made to fail.
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "system/system_calls.h"
#include "paths/unpack_spec.h"
#include "resources/product.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

using ::testing::ExitedWithCode;
using testing_support::narrow;

constexpr std::size_t kTargetCapacity = 4096;
constexpr unsigned long long kTicksPerDay = 864000000000ULL;
constexpr char kChildMarker[] = "EXPANDED=";
const wchar_t* const kParent = L"TAMBRO_ONEFILE_PARENT";
const wchar_t* const kStart = L"TAMBRO_ONEFILE_START";

std::optional<std::wstring> expand(const std::wstring& spec,
                                   std::size_t capacity = kTargetCapacity) {
    std::vector<wchar_t> output(capacity + 1, L'#');
    const bool expanded = expandUnpackSpec(output.data(), spec.c_str(), capacity);
    // Nothing may land beyond the capacity, whatever the result.
    EXPECT_EQ(output[capacity], L'#') << "wrote past the capacity for " << narrow(spec);
    return expanded ? std::optional<std::wstring>(output.data()) : std::nullopt;
}

std::wstring systemFolder(int folder) {
    wchar_t path[MAX_PATH] = {};
    EXPECT_EQ(SHGetFolderPathW(nullptr, folder, nullptr, 0, path), S_OK);
    std::wstring text = path;
    while (!text.empty() && text.back() == L'\\') {
        text.pop_back();
    }
    return text;
}

unsigned long long currentTicks() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

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

// Wine's GetTempPathW folds repeated backslashes, so this needs the seam.
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

// Each test starts with neither an inherited parent nor a published time,
// and gets the real system calls and argument vector back afterwards.
class UnpackSpec : public ::testing::Test {
  protected:
    void SetUp() override { clearVariables(); }
    void TearDown() override {
        clearVariables();
        systemCalls = defaultSystemCalls();
        __wargv = savedArguments_;
    }
    static void clearVariables() {
        SetEnvironmentVariableW(kParent, nullptr);
        SetEnvironmentVariableW(kStart, nullptr);
    }
    void useProgram(const wchar_t* program) {
        arguments_[0] = const_cast<wchar_t*>(program);
        __wargv = arguments_;
    }

  private:
    wchar_t** savedArguments_ = __wargv;
    wchar_t* arguments_[2] = {};
};

TEST_F(UnpackSpec, LiteralsAndCompiledInValues) {
    EXPECT_EQ(expand(L""), L"");
    EXPECT_EQ(expand(L"C:\\plain/text\\"), L"C:\\plain/text\\");
    // A closing brace with no name open is an ordinary code unit.
    EXPECT_EQ(expand(L"a}b{COMPANY}}"), L"a}bCorvellinth}");
    EXPECT_EQ(expand(L"{COMPANY}|{Product}|{version}"), L"Corvellinth|Corvellinth|2026.08.23.2");
}

TEST_F(UnpackSpec, NamesAreMatchedWholeInAnyCase) {
    const std::wstring temp = testing_support::systemTempDirectory();
    ASSERT_NE(temp.back(), L'\\');
    EXPECT_EQ(expand(L"{TEMP}"), temp);
    EXPECT_EQ(expand(L"{temp}"), temp);
    EXPECT_EQ(expand(L"{Temp}\\x"), temp + L"\\x");
    for (const std::wstring spec : {L"{}", L"x{NOPE}", L"{TEMP }", L"{PROGRAM_}"}) {
        EXPECT_EQ(expand(spec), std::nullopt) << narrow(spec);
    }
    // Longer than the name buffer: collected without overflow, then unknown.
    EXPECT_EQ(expand(L"{" + std::wstring(5000, L'T') + L"}"), std::nullopt);
}

TEST_F(UnpackSpec, UnclosedNamesAreDroppedAndBracesDoNotNest) {
    EXPECT_EQ(expand(L"abc{TEMP"), L"abc");
    EXPECT_EQ(expand(L"abc{" + std::wstring(3000, L'x')), L"abc");
    SetEnvironmentVariableW(kParent, L"4242");
    EXPECT_EQ(expand(L"{A{PID}"), L"4242");
    EXPECT_EQ(expand(L"{NOPE{PID}_{pid}"), L"4242_4242");
}

TEST_F(UnpackSpec, ProcessIdFollowsTheParentVariable) {
    const std::wstring own = std::to_wstring(GetCurrentProcessId());
    EXPECT_EQ(expand(L"{PID}"), own);
    SetEnvironmentVariableW(kParent, L"12");
    EXPECT_EQ(expand(L"{PID}"), L"12");
    SetEnvironmentVariableW(kParent, L""); // empty counts as unset
    EXPECT_EQ(expand(L"{PID}"), own);

    for (const wchar_t* value : {L"12a", L"-12", L" 12"}) {
        EXPECT_EXIT(
            {
                routeAbortAwayFromDialogs();
                SetEnvironmentVariableW(kParent, value);
                expand(L"{PID}");
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
    ASSERT_EQ(first->size(), 18u);
    ASSERT_EQ(first->find_first_not_of(L"0123456789"), std::wstring::npos);
    const unsigned long long ticks = std::stoull(*first);
    EXPECT_GE(ticks + kTicksPerDay, before);
    EXPECT_LE(ticks, currentTicks() + kTicksPerDay);

    wchar_t published[64] = {};
    GetEnvironmentVariableW(kStart, published, 64);
    EXPECT_EQ(published, *first);
    Sleep(20);
    EXPECT_EQ(expand(L"{TIME}_{time}"), *first + L"_" + *first);
}

// Only a start time (1 to 20 digits) is taken over; anything else is
// replaced by a fresh one, so an inherited value cannot point the target
// directory elsewhere.
TEST_F(UnpackSpec, AnInheritedTimeIsUsedOnlyWhenItIsDigits) {
    for (const wchar_t* kept : {L"0", L"133456789012345678", L"12345678901234567890"}) {
        SetEnvironmentVariableW(kStart, kept);
        EXPECT_EQ(expand(L"{TIME}"), kept);
    }
    for (const wchar_t* replaced :
         {L"not a number\\", L"1\\..\\..\\..\\victim", L"123456789012345678901", L"12 ", L"+12",
          L"-12", L"1/2", L"\uFF11\uFF12"}) {
        SetEnvironmentVariableW(kStart, replaced);
        const std::optional<std::wstring> fresh = expand(L"{TIME}");
        ASSERT_TRUE(fresh.has_value());
        EXPECT_EQ(fresh->size(), 18u) << narrow(replaced);
        EXPECT_EQ(fresh->find_first_not_of(L"0123456789"), std::wstring::npos);
        wchar_t published[64] = {};
        GetEnvironmentVariableW(kStart, published, 64);
        EXPECT_EQ(published, *fresh) << narrow(replaced);
    }
}

TEST_F(UnpackSpec, HomeAndCacheDirComeFromTheSystem) {
    EXPECT_EQ(expand(L"{HOME}"), systemFolder(CSIDL_PROFILE));
    EXPECT_EQ(expand(L"{cache_dir}\\x"), systemFolder(CSIDL_LOCAL_APPDATA) + L"\\x");
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

    useProgram(L"D:\\App\\\\\\");
    EXPECT_EQ(expand(L"{PROGRAM_DIR}"), L"D:\\App\\\\");
}

TEST_F(UnpackSpec, TempThatDeliversNothingStillExpands) {
    // Wine delivers nothing for a TMP longer than MAX_PATH; the seam covers
    // a system where that does not hold.
    wchar_t savedTmp[MAX_PATH + 1] = {};
    const bool hadTmp = GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH + 1) != 0;
    SetEnvironmentVariableW(L"TMP", (L"C:\\" + std::wstring(400, L'x')).c_str());
    wchar_t probe[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, probe) != 0) {
        systemCalls.getTempPath = tempDeliversNothing;
    }
    const std::optional<std::wstring> target = expand(product::kUnpackSpec);
    // The removal still runs, over the text before the placeholder.
    const std::optional<std::wstring> trimmed = expand(L"X\\\\{TEMP}");
    SetEnvironmentVariableW(L"TMP", hadTmp ? savedTmp : nullptr);

    ASSERT_TRUE(target.has_value());
    EXPECT_THAT(*target, ::testing::StartsWith(L"\\CorvellinthOnefile\\onefile_"));
    EXPECT_EQ(trimmed, L"X");
}

TEST_F(UnpackSpec, ProgramPlaceholders) {
    struct Case {
        const wchar_t* program;
        const wchar_t* base;
        const wchar_t* directory;
    };
    for (const Case& c :
         {Case{L"D:\\App\\Tool.EXE", L"D:\\App\\Tool", L"D:\\App"},
          Case{L"Tool.exe", L"Tool", L"Tool.exe"}, Case{L"D:\\Tool.exe", L"D:\\Tool", L"D:"},
          Case{L"run", L"run", L"run"}, Case{L".exe", L"", L".exe"}}) {
        useProgram(c.program);
        EXPECT_EQ(expand(L"{PROGRAM}"), c.program);
        EXPECT_EQ(expand(L"{PROGRAM_BASE}"), c.base) << narrow(c.program);
        EXPECT_EQ(expand(L"{program_dir}"), c.directory) << narrow(c.program);
    }
    // The cuts look only at what the nested expansion wrote.
    useProgram(L"xe");
    EXPECT_EQ(expand(L"Tool.e{PROGRAM_BASE}"), L"Tool.exe");
    EXPECT_EQ(expand(L"D:\\dir\\{PROGRAM_DIR}"), L"D:\\dir\\xe");
}

TEST_F(UnpackSpec, CapacityBoundary) {
    EXPECT_EQ(expand(L"ab{COMPANY}c", 15), L"abCorvellinthc");
    EXPECT_EQ(expand(L"ab{COMPANY}c", 14), std::nullopt); // the literal c does not fit
    EXPECT_EQ(expand(L"{COMPANY}", 12), L"Corvellinth");
    useProgram(L"D:\\App\\Tool.exe");
    EXPECT_EQ(expand(L"{PROGRAM_BASE}", 16), L"D:\\App\\Tool");

    // A {TEMP} that does not fit is not delivered and adds nothing.
    const std::wstring temp = testing_support::systemTempDirectory();
    EXPECT_EQ(expand(L"x{TEMP}", temp.size() + 3), L"x" + temp);
    EXPECT_EQ(expand(L"x{TEMP}", temp.size() + 2), L"x");

    // A placeholder value that does not fit ends the process.
    struct Case {
        const wchar_t* spec;
        std::size_t capacity;
    };
    for (const Case& c : {Case{L"ab{COMPANY}", 13}, Case{L"{PID}", 3},
                          Case{L"{PROGRAM_BASE}", 15}}) { // the nested text holds ".exe" too
        EXPECT_EXIT(
            {
                routeAbortAwayFromDialogs();
                SetEnvironmentVariableW(kParent, L"123");
                expand(c.spec, c.capacity);
                exit(0);
            },
            ExitedWithCode(3), "")
            << narrow(c.spec);
    }
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
    SetEnvironmentVariableW(kParent, std::to_wstring(GetCurrentProcessId()).c_str());
    const std::optional<std::wstring> target = expand(product::kUnpackSpec);
    ASSERT_TRUE(target.has_value());
    EXPECT_THAT(narrow(*target), ::testing::HasSubstr("\\CorvellinthOnefile\\onefile_" +
                                                      std::to_string(GetCurrentProcessId()) + "_"));

    wchar_t self[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    const testing_support::ProcessResult child = testing_support::runProcess(
        self, {L"--gtest_also_run_disabled_tests",
               L"--gtest_filter=UnpackSpecChild.DISABLED_PrintsTheUnpackSpec"});
    ASSERT_EQ(child.exitCode, 0u) << child.standardOutput << child.standardError;
    const std::string& out = child.standardOutput;
    const std::size_t begin = out.find(kChildMarker);
    ASSERT_NE(begin, std::string::npos) << out;
    const std::size_t valueBegin = begin + sizeof(kChildMarker) - 1;
    EXPECT_EQ(out.substr(valueBegin, out.find_first_of("\r\n", valueBegin) - valueBegin),
              narrow(*target));
}

} // namespace
