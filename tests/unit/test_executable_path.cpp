// The launcher's own path: the prefix rules on real and crafted final paths,
// the short directory part, the capacity bounds, the two caches and the
// child's image name. The caches live for the whole process, so their tests
// run in death-test children (fresh processes) that check and exit(0).
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "launcher/child_launch.h"
#include "paths/executable_path.h"
#include "system/system_calls.h"
#include "tests/support/files.h"

namespace {

using testing_support::ScratchDirectory;
using testing_support::writeFile;

// What the fake final-path function writes, and how often it ran.
std::wstring fakeFinalPath;
DWORD fakeResult = 0;
bool fakeWrites = true;
int finalPathCalls = 0;

DWORD WINAPI writeFakeFinalPath(HANDLE, LPWSTR buffer, DWORD capacity, DWORD) {
    ++finalPathCalls;
    if (fakeWrites && fakeFinalPath.size() < capacity) {
        fakeFinalPath.copy(buffer, fakeFinalPath.size());
        buffer[fakeFinalPath.size()] = L'\0';
    }
    return fakeResult;
}

GetFinalPathNameByHandleFn findFake() {
    return writeFakeFinalPath;
}

GetFinalPathNameByHandleFn findNothing() {
    return nullptr;
}

DWORD WINAPI countRealFinalPath(HANDLE file, LPWSTR buffer, DWORD capacity, DWORD flags) {
    ++finalPathCalls;
    return defaultSystemCalls().findFinalPathFunction()(file, buffer, capacity, flags);
}

GetFinalPathNameByHandleFn findCountingReal() {
    return countRealFinalPath;
}

class ExecutablePath : public ::testing::Test {
  protected:
    void SetUp() override {
        routeAbortAwayFromDialogs();
        finalPathCalls = 0;
        fakeWrites = true;
    }
    void TearDown() override { systemCalls = defaultSystemCalls(); }

    // The fake reports text as the final path, with its length as result.
    static void useFakeFinalPath(const std::wstring& text) {
        fakeFinalPath = text;
        fakeWrites = true;
        fakeResult = static_cast<DWORD>(text.size());
        systemCalls.findFinalPathFunction = findFake;
    }

    // A real file under a directory whose long name has an 8.3 form.
    std::wstring makeLongNamedFile() {
        const std::wstring file = longDirectory() + L"\\Another Long File Name.txt";
        writeFile(file, "x");
        return file;
    }
    std::wstring longDirectory() const { return scratch_ / L"Long Directory Name Here"; }

    static std::wstring resolved(const std::wstring& path, std::size_t capacity) {
        std::vector<wchar_t> buffer(capacity, L'\0');
        path.copy(buffer.data(), path.size());
        resolveExecutablePath(buffer.data(), capacity);
        return buffer.data();
    }
    static std::wstring shortened(const std::wstring& path,
                                  std::size_t capacity = kExecutablePathCapacity) {
        std::vector<wchar_t> buffer(capacity, L'\0');
        path.copy(buffer.data(), path.size());
        shortenDirectoryPart(buffer.data(), capacity);
        return buffer.data();
    }

    ScratchDirectory scratch_{L"exepath"};
};

std::wstring longForm(const std::wstring& path) {
    wchar_t buffer[4096];
    const DWORD length = GetLongPathNameW(path.c_str(), buffer, 4096);
    return length == 0 || length >= 4096 ? L"" : std::wstring(buffer, length);
}

std::wstring directoryPart(const std::wstring& path) {
    return path.substr(0, path.rfind(L'\\'));
}

std::wstring lastComponent(const std::wstring& path) {
    return path.substr(path.rfind(L'\\') + 1);
}

// Makes directory the current one for its lifetime.
class InDirectory {
  public:
    explicit InDirectory(const std::wstring& directory) {
        GetCurrentDirectoryW(MAX_PATH, previous_);
        SetCurrentDirectoryW(directory.c_str());
    }
    ~InDirectory() { SetCurrentDirectoryW(previous_); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

  private:
    wchar_t previous_[MAX_PATH] = {};
};

// Ends a death-test child: 0 when ok, else 1 with what was found.
[[noreturn]] void finishChild(bool ok, const std::wstring& found) {
    if (!ok) {
        fprintf(stderr, "unexpected: %ls\n", found.c_str());
        fflush(stderr);
        exit(1);
    }
    exit(0);
}

// ---- shortenDirectoryPart ----------------------------------------------

TEST_F(ExecutablePath, ShortensTheDirectoryPartButNeverTheLastComponent) {
    const std::wstring file = makeLongNamedFile();
    const std::wstring result = shortened(file);
    // The existing file has an 8.3 name too; it must keep its long one.
    EXPECT_EQ(lastComponent(result), L"Another Long File Name.txt");
    const std::wstring directory = directoryPart(result);
    EXPECT_EQ(directory.find(L"Long Directory Name Here"), std::wstring::npos) << directory;
    EXPECT_NE(directory.find(L'~'), std::wstring::npos) << directory;
    EXPECT_EQ(_wcsicmp(longForm(directory).c_str(), longDirectory().c_str()), 0) << directory;

    // A trailing backslash stays: the last component is then empty.
    EXPECT_EQ(shortened(longDirectory() + L"\\"), directory + L"\\");
}

TEST_F(ExecutablePath, LeavesPathsWithoutShortFormExactlyAsTheyWere) {
    // Mixed case, a slash and double spaces show that nothing is normalised.
    for (const std::wstring& path :
         {std::wstring(L"Z:\\no such Directory\\at  all/x\\file Name.TXT"), std::wstring(L""),
          std::wstring(L"no such file anywhere"), std::wstring(L"\\"),
          std::wstring(L"\\\\server\\share\\file")}) {
        EXPECT_EQ(shortened(path), path);
    }
}

TEST_F(ExecutablePath, ShortensATextWithoutBackslashWhole) {
    makeLongNamedFile();
    const std::wstring result = [&] {
        const InDirectory here(scratch_.path());
        return shortened(L"Long Directory Name Here");
    }();
    EXPECT_NE(result, L"Long Directory Name Here");
    EXPECT_EQ(result.find(L'\\'), std::wstring::npos) << result;
    EXPECT_NE(result.find(L'~'), std::wstring::npos) << result;
}

TEST_F(ExecutablePath, ShortFormWithTheLastComponentMustFitTheCapacity) {
    // "a b" has a short form longer than itself, so a path that fits its
    // buffer can outgrow it once shortened. Relative, so that only this one
    // component changes length.
    writeFile(scratch_ / L"a b\\f", "x");
    const InDirectory here(scratch_.path());
    const std::wstring grows = shortened(L"a b\\f");
    ASSERT_GT(grows.size(), 5u) << grows;
    EXPECT_EQ(shortened(L"a b\\f", grows.size() + 1), grows);
    // The short form itself does not fit, or then the last component.
    EXPECT_EXIT(shortened(L"a b\\f", 6), ::testing::ExitedWithCode(3), "");
    EXPECT_EXIT(shortened(L"a b\\abcdef", grows.size() + 1), ::testing::ExitedWithCode(3), "");
}

// ---- resolveExecutablePath -----------------------------------------------

TEST_F(ExecutablePath, RealFinalPathLosesItsDrivePrefix) {
    const std::wstring file = makeLongNamedFile();
    const std::wstring result = resolved(file, kExecutablePathCapacity);
    ASSERT_GE(result.size(), 3u);
    EXPECT_EQ(result.rfind(L"\\\\?\\", 0), std::wstring::npos) << result;
    EXPECT_EQ(result[1], L':') << result;
    EXPECT_EQ(lastComponent(result), L"Another Long File Name.txt");
    EXPECT_NE(directoryPart(result).find(L'~'), std::wstring::npos) << result;
    EXPECT_EQ(_wcsicmp(longForm(result).c_str(), file.c_str()), 0) << result;
}

TEST_F(ExecutablePath, CraftedFinalPathsFollowThePrefixRules) {
    const std::wstring file = makeLongNamedFile();
    struct Case {
        std::wstring finalPath;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {L"\\\\?\\UNC\\server\\share\\dir\\app.exe", L"\\\\server\\share\\dir\\app.exe"},
        {L"\\\\?\\Q:\\missing\\app.exe", L"Q:\\missing\\app.exe"},
        // Neither a drive nor UNC: the prefix stays.
        {L"\\\\?\\Volume{1234}\\dir\\app.exe", L"\\\\?\\Volume{1234}\\dir\\app.exe"},
        {L"\\\\?\\UNCX\\server\\app.exe", L"\\\\?\\UNCX\\server\\app.exe"},
        {L"\\\\?\\", L"\\\\?\\"},
        // After the drive rule the UNC rule is not tried again.
        {L"\\\\?\\Q:\\\\?\\UNC\\x", L"Q:\\\\?\\UNC\\x"},
    };
    for (const Case& c : cases) {
        useFakeFinalPath(c.finalPath);
        EXPECT_EQ(resolved(file, kExecutablePathCapacity), c.expected) << c.finalPath;
    }

    // Without a prefix only the directory part is shortened.
    useFakeFinalPath(file);
    const std::wstring plain = resolved(file, kExecutablePathCapacity);
    EXPECT_EQ(plain, shortened(file));
    EXPECT_NE(plain, file);
}

TEST_F(ExecutablePath, WithoutFinalPathFunctionOrWhenItFailsThePathIsUsedAsItIs) {
    const std::wstring file = makeLongNamedFile();
    systemCalls.findFinalPathFunction = findNothing;
    EXPECT_EQ(resolved(file, kExecutablePathCapacity), shortened(file));

    useFakeFinalPath(L"");
    fakeWrites = false; // fails with 0 and leaves the buffer alone
    EXPECT_EQ(resolved(file, kExecutablePathCapacity), shortened(file));
    EXPECT_EQ(finalPathCalls, 1);

    // Looked up on every call, not remembered.
    useFakeFinalPath(L"\\\\?\\UNC\\a\\b\\c");
    resolved(file, kExecutablePathCapacity);
    resolved(file, kExecutablePathCapacity);
    EXPECT_EQ(finalPathCalls, 3);
}

TEST_F(ExecutablePath, AFinalPathOfCapacityMinusOneFitsAndOneMoreEndsTheProcess) {
    const std::wstring file = makeLongNamedFile();
    for (const std::size_t capacity : {kParentPathCapacity, kExecutablePathCapacity}) {
        const std::wstring longest = L"\\\\?\\Q:\\" + std::wstring(capacity - 8, L'a');
        ASSERT_EQ(longest.size(), capacity - 1);
        useFakeFinalPath(longest);
        EXPECT_EQ(resolved(file, capacity), longest.substr(4));

        // The real function reports the size it needs, terminator included.
        fakeWrites = false;
        fakeResult = static_cast<DWORD>(capacity);
        EXPECT_EXIT(resolved(file, capacity), ::testing::ExitedWithCode(3), "");
    }
}

TEST_F(ExecutablePath, UnopenableOrUnterminatedPathsEndTheProcess) {
    EXPECT_EXIT(resolved(scratch_ / L"missing.exe", kParentPathCapacity),
                ::testing::ExitedWithCode(3), "");
    EXPECT_EXIT(resolved(L"", kParentPathCapacity), ::testing::ExitedWithCode(3), "");
    EXPECT_EXIT(
        {
            std::vector<wchar_t> full(16, L'a');
            resolveExecutablePath(full.data(), full.size());
        },
        ::testing::ExitedWithCode(3), "");
}

// ---- getExecutablePath and its caches --------------------------------------

TEST_F(ExecutablePath, PlainPathIsTheShortenedModulePathAndResolvedWithoutFinalPathTheSame) {
    EXPECT_EXIT(
        {
            systemCalls.findFinalPathFunction = findNothing;
            wchar_t module[4096];
            GetModuleFileNameW(nullptr, module, 4096);
            const std::wstring plain = getExecutablePath(false);
            const std::wstring resolvedText = getExecutablePath(true);
            finishChild(lastComponent(plain) == L"test_executable_path.exe" &&
                            plain == shortened(module) && resolvedText == plain,
                        plain + L" | " + resolvedText);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ExecutablePath, SecondCallsReturnTheCachedTextWithoutAskingAgain) {
    EXPECT_EXIT(
        {
            systemCalls.findFinalPathFunction = findCountingReal;
            const wchar_t* const resolvedFirst = getExecutablePath(true);
            const std::wstring resolvedText = resolvedFirst;
            const wchar_t* const plainFirst = getExecutablePath(false);
            const std::wstring plainText = plainFirst;
            // A different answer now would show up if anything were asked.
            useFakeFinalPath(L"\\\\?\\UNC\\elsewhere\\share\\moved.exe");
            const bool same = getExecutablePath(true) == resolvedFirst &&
                              resolvedText == getExecutablePath(true) &&
                              getExecutablePath(false) == plainFirst &&
                              plainText == getExecutablePath(false);
            finishChild(same && finalPathCalls == 1 && resolvedText.size() > 3 &&
                            resolvedText[1] == L':',
                        resolvedText + L" | " + plainText);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(ExecutablePath, EachVariantFillsOnlyItsOwnCache) {
    const std::wstring crafted = L"\\\\?\\UNC\\server\\share\\app.exe";
    EXPECT_EXIT(
        {
            useFakeFinalPath(crafted);
            const std::wstring plain = getExecutablePath(false);
            const std::wstring resolvedText = getExecutablePath(true);
            finishChild(finalPathCalls == 1 && resolvedText == L"\\\\server\\share\\app.exe" &&
                            lastComponent(plain) == L"test_executable_path.exe",
                        plain + L" | " + resolvedText);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            useFakeFinalPath(crafted);
            const std::wstring resolvedText = getExecutablePath(true);
            const std::wstring plain = getExecutablePath(false);
            finishChild(resolvedText == L"\\\\server\\share\\app.exe" &&
                            lastComponent(plain) == L"test_executable_path.exe" &&
                            plain.rfind(L"\\\\", 0) == std::wstring::npos,
                        plain + L" | " + resolvedText);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- the child's image ------------------------------------------------------

// Windows reports a module name cut to the buffer by a result equal to its
// capacity (terminated within it).
DWORD WINAPI fillTheBuffer(HMODULE, LPWSTR buffer, DWORD capacity) {
    std::fill(buffer, buffer + capacity - 1, L'x');
    buffer[capacity - 1] = L'\0';
    return capacity;
}

BOOL WINAPI startNothing(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                         LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    ExitProcess(42);
}

TEST_F(ExecutablePath, AChildImageNameThatFillsItsBufferEndsAbnormallyBeforeAnyStart) {
    EXPECT_EXIT(
        {
            // The plain cache is filled first, from the real name.
            getExecutablePath(false);
            systemCalls.getModuleFileName = fillTheBuffer;
            systemCalls.createProcess = startNothing;
            launchChildAndWait();
        },
        ::testing::ExitedWithCode(3), "");
}

} // namespace
