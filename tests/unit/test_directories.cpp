// Directory creation, in process: CreateDirectoryW goes through the seam so
// the tests see every call. knownDirectories lives as long as this program,
// so each test works in paths of its own; tests that need an empty or a
// full list run as death tests, in a fresh process.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnostics/diagnostics.h"
#include "paths/directories.h"
#include "system/system_calls.h"
#include "paths/unpack_spec.h"
#include "tests/support/files.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::directoryExists;
using testing_support::ScratchDirectory;

std::vector<std::wstring> createCalls;
DWORD refusalCode = 0; // when non-zero, the seam refuses with this code

BOOL WINAPI recordingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) {
    createCalls.push_back(path);
    if (refusalCode != 0) {
        SetLastError(refusalCode);
        return FALSE;
    }
    return CreateDirectoryW(path, attributes);
}

// Pretends to create anything: for paths that must not touch the disk.
BOOL WINAPI pretendingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
    createCalls.push_back(path);
    return TRUE;
}

HRESULT WINAPI failingFolderPath(HWND, int, HANDLE, DWORD, LPWSTR) {
    return E_FAIL;
}

class Directories : public ::testing::Test {
  protected:
    void SetUp() override {
        createCalls.clear();
        refusalCode = 0;
        systemCalls.createDirectory = recordingCreateDirectory;
    }
    void TearDown() override { systemCalls = defaultSystemCalls(); }

    // The calls that were made for path.
    static int callsFor(const std::wstring& path) {
        int count = 0;
        for (const auto& call : createCalls) {
            count += call == path ? 1 : 0;
        }
        return count;
    }
};

std::wstring homeDirectory() {
    wchar_t home[4096] = {};
    EXPECT_TRUE(expandUnpackSpec(home, L"{HOME}", 4096));
    return home;
}

TEST_F(Directories, HomeAndDriveDesignatorsNeedNoSystemCall) {
    ScratchDirectory scratch;
    EXPECT_TRUE(ensureDirectory(scratch.path().c_str())); // seeds the list
    ASSERT_GE(knownDirectoryCount(), 2);
    EXPECT_EQ(knownDirectory(0), homeDirectory());
    const int before = knownDirectoryCount();
    createCalls.clear();
    EXPECT_TRUE(ensureDirectory(homeDirectory().c_str()));
    EXPECT_TRUE(ensureDirectory(L"D:"));
    EXPECT_TRUE(ensureDirectory(L"?:")); // the letter is not examined
    EXPECT_THAT(createCalls, IsEmpty());
    EXPECT_EQ(knownDirectoryCount(), before);

    refusalCode = ERROR_ALREADY_EXISTS;
    EXPECT_TRUE(ensureDirectory(L"D:\\"));
    EXPECT_THAT(createCalls, ElementsAre(L"D:\\"));
}

TEST_F(Directories, MissingLevelsAreCreatedOutermostFirstAndRemembered) {
    ScratchDirectory scratch;
    const std::wstring a = scratch / L"a";
    const std::wstring b = a + L"\\b";
    const std::wstring c = b + L"\\c";
    ensureParentDirectories((c + L"\\file.txt").c_str());
    EXPECT_TRUE(directoryExists(c));
    // Up the chain until a creation succeeds (a, whose parent exists), then
    // down again.
    EXPECT_THAT(createCalls, ElementsAre(c, b, a, b, c));

    createCalls.clear();
    ensureParentDirectories((c + L"\\second.txt").c_str());
    ensureParentDirectories((b + L"\\third.txt").c_str());
    EXPECT_THAT(createCalls, IsEmpty());

    // The tree deleted and forgotten (a run directory given up): made again.
    testing_support::removeTree(a);
    forgetKnownDirectories();
    EXPECT_EQ(knownDirectoryCount(), 0);
    ensureParentDirectories((c + L"\\again.txt").c_str());
    EXPECT_TRUE(directoryExists(c));
}

TEST_F(Directories, TwoSpellingsOfOneDirectoryAreTwoEntries) {
    ScratchDirectory scratch;
    const std::wstring lower = scratch / L"dir";
    const std::wstring upper = scratch / L"DIR";
    ASSERT_TRUE(ensureDirectory(lower.c_str()));
    const int before = knownDirectoryCount();
    EXPECT_TRUE(ensureDirectory(upper.c_str()));           // exists: same directory
    EXPECT_TRUE(ensureDirectory((lower + L"\\").c_str())); // exists too
    EXPECT_EQ(knownDirectoryCount(), before + 2);
    EXPECT_EQ(callsFor(lower), 1);
    EXPECT_EQ(callsFor(upper), 1);
    EXPECT_EQ(callsFor(lower + L"\\"), 1);
}

TEST_F(Directories, ARefusalIsFalseAndNotRemembered) {
    ScratchDirectory scratch;
    const std::wstring refused = scratch / L"refused";
    refusalCode = ERROR_ACCESS_DENIED;
    const int before = knownDirectoryCount();
    EXPECT_FALSE(ensureDirectory(refused.c_str()));
    EXPECT_FALSE(ensureDirectory(refused.c_str()));
    EXPECT_EQ(knownDirectoryCount(), before);
    EXPECT_EQ(callsFor(refused), 2);

    // Refused all the way up: every level is tried on the way up and once
    // more on the way down, and nothing is reported.
    createCalls.clear();
    ensureParentDirectories(L"Q:\\x\\y\\file");
    EXPECT_THAT(createCalls, ElementsAre(L"Q:\\x\\y", L"Q:\\x", L"Q:\\x", L"Q:\\x\\y"));
}

TEST_F(Directories, PathsWithoutAParentDoNothingAndLengthIsBounded) {
    ensureParentDirectories(L"file.txt");
    ensureParentDirectories(L"\\file.txt");
    ensureParentDirectories(L"");
    // "Z:" is a drive designator, so this makes no system call either.
    const std::wstring longest = L"Z:\\" + std::wstring(4092, L'a');
    ASSERT_EQ(longest.size(), 4095u);
    ensureParentDirectories(longest.c_str());
    EXPECT_THAT(createCalls, IsEmpty());

    const std::wstring tooLong = longest + L"a";
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            ensureParentDirectories(tooLong.c_str());
        },
        ::testing::ExitedWithCode(3), "");
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            ensureParentDirectories(nullptr);
        },
        ::testing::ExitedWithCode(3), "");
}

// Each missing level costs a stack frame with a full path in it, so a chain
// of more than 128 is refused (the unpacking reports the name as damaged)
// instead of recursing on.
TEST_F(Directories, AVeryDeepChainOfMissingLevelsIsRefusedNotRecursedInto) {
    refusalCode = ERROR_PATH_NOT_FOUND;
    std::wstring deep = L"Q:";
    for (int level = 0; level < 100; ++level) {
        deep += L"\\d";
    }
    EXPECT_TRUE(ensureParentDirectories((deep + L"\\file").c_str()));
    EXPECT_EQ(callsFor(deep), 2);

    for (int level = 0; level < 400; ++level) {
        deep += L"\\d";
    }
    createCalls.clear();
    EXPECT_FALSE(ensureParentDirectories((deep + L"\\file").c_str()));
    EXPECT_EQ(createCalls.size(), 128u);
}

// Windows refuses a directory path of 248 units or more unless it is in the
// extended-length form (long paths not switched on system-wide); the list
// keeps the path as given.
TEST_F(Directories, LongDirectoryPathsGoToTheSystemInTheExtendedForm) {
    ScratchDirectory scratch;
    const std::wstring base = scratch.path() + L"\\";
    const std::wstring shorter = base + std::wstring(247 - base.size(), L's');
    const std::wstring longer = base + std::wstring(248 - base.size(), L'l');
    const std::wstring deeper = longer + L"\\" + std::wstring(200, L'd');
    ensureParentDirectories((shorter + L"\\f").c_str());
    ensureParentDirectories((deeper + L"\\f").c_str());
    EXPECT_THAT(createCalls, ElementsAre(shorter, L"\\\\?\\" + deeper, L"\\\\?\\" + longer,
                                         L"\\\\?\\" + deeper));
    EXPECT_TRUE(directoryExists(L"\\\\?\\" + deeper));
    createCalls.clear();
    EXPECT_TRUE(ensureDirectory(deeper.c_str()));
    EXPECT_THAT(createCalls, IsEmpty());
}

TEST_F(Directories, AFullListStillCreatesButRemembersNothingMore) {
    ScratchDirectory scratch;
    const std::wstring real = scratch / L"after-the-limit";
    EXPECT_EXIT(
        {
            systemCalls.createDirectory = pretendingCreateDirectory;
            for (int index = 0; knownDirectoryCount() < 1024; ++index) {
                ensureDirectory((L"Q:\\pretend\\" + std::to_wstring(index)).c_str());
            }
            createCalls.clear();
            bool ok = ensureDirectory(L"Q:\\pretend\\one-more");
            ok = ok && ensureDirectory(L"Q:\\pretend\\one-more");
            ok = ok && callsFor(L"Q:\\pretend\\one-more") == 2;
            systemCalls.createDirectory = recordingCreateDirectory;
            ok = ok && ensureDirectory(real.c_str()) && directoryExists(real);
            ok = ok && knownDirectoryCount() == 1024 && knownDirectory(1024) == nullptr;
            testing_support::removeTree(scratch.path());
            fprintf(stderr, ok ? "limit kept" : "limit broken");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "^limit kept$");
}

TEST_F(Directories, AnUnexpandableHomeIsASpecFailure) {
    EXPECT_EXIT(
        {
            routeAbortAwayFromDialogs();
            systemCalls.getFolderPath = failingFolderPath;
            ensureDirectory(L"Q:\\anything");
        },
        ::testing::ExitedWithCode(3), "^Error, couldn't runtime expand spec '\\{HOME\\}'\\.");
}

} // namespace
