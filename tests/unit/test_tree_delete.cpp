// The tree delete in process, on real trees under Wine: deep and long paths,
// a root swapped for a link, entries that cannot be shown to lie inside.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/tree_delete.h"
#include "system/system_calls.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

namespace {

using namespace testing_support;

std::wstring extended(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

// Makes a directory at path (any length) with one file in it.
void makeDirectoryWithFile(const std::wstring& path, const std::wstring& file) {
    ASSERT_TRUE(CreateDirectoryW(extended(path).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS)
        << narrow(path) << ": " << GetLastError();
    const HANDLE handle = CreateFileW(extended(path + L"\\" + file).c_str(), GENERIC_WRITE, 0,
                                      nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << narrow(path + L"\\" + file);
    CloseHandle(handle);
}

bool existsAt(const std::wstring& path) {
    return GetFileAttributesW(extended(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

class TreeDelete : public ::testing::Test {
  protected:
    void TearDown() override { systemCalls = defaultSystemCalls(); }

    // Makes root, then records its final path as the parent does.
    std::wstring makeRoot(const std::wstring& name = L"root") {
        const std::wstring root = scratch_ / name;
        CreateDirectoryW(root.c_str(), nullptr);
        EXPECT_TRUE(readFinalPath(root.c_str(), rootFinalPath_, kFinalPathCapacity));
        return root;
    }

    ScratchDirectory scratch_{L"tree"};
    wchar_t rootFinalPath_[kFinalPathCapacity] = {};
};

// The recursion costs a small frame per level: 250 levels fit in a 128 KiB
// stack (a 4096-unit buffer per level would need 2 MiB). The paths grow to
// over 500 units, past what Wine's GetFinalPathNameByHandleW can give.
TEST_F(TreeDelete, TwoHundredFiftyLevelsFitASmallStack) {
    const std::wstring root = makeRoot();
    std::wstring deep = root;
    for (int level = 0; level < 250; ++level) {
        deep += L"\\d";
        makeDirectoryWithFile(deep, L"f");
    }
    struct Job {
        const std::wstring* root;
        const wchar_t* finalPath;
        bool remains;
    } job{&root, rootFinalPath_, true};
    const HANDLE thread = CreateThread(
        nullptr, 128 * 1024,
        [](void* argument) -> DWORD {
            auto* const work = static_cast<Job*>(argument);
            work->remains = treeRemainsAfterDeleting(work->root->c_str(), work->finalPath);
            return 0;
        },
        &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(job.remains);
    EXPECT_FALSE(existsAt(root));
}

// A root renamed away and replaced by a link (here to a directory of the
// user's) is not the directory that was recorded: nothing is touched.
TEST_F(TreeDelete, ARootSwappedForALinkIsLeftAlone) {
    const std::wstring root = makeRoot();
    writeFile(root + L"\\ours.txt", "ours");
    const std::wstring user = scratch_ / L"user";
    writeFile(user + L"\\precious.txt", "precious");
    ASSERT_TRUE(MoveFileW(root.c_str(), (scratch_ / L"moved").c_str()));
    if (!makeLinuxSymlink(root, user)) {
        GTEST_SKIP() << "needs Wine to make Linux links";
    }
    EXPECT_FALSE(treeRemainsAfterDeleting(root.c_str(), rootFinalPath_));
    EXPECT_EQ(readFile(user + L"\\precious.txt"), "precious");
    EXPECT_EQ(readFile(scratch_ / L"moved\\ours.txt"), "ours");
    runLinuxProgram("/bin/rm", {linuxPath(root)});
}

// Fails for anything named "unprovable", as a final path that cannot be
// read or that does not fit.
DWORD WINAPI finalPathExceptUnprovable(HANDLE handle, LPWSTR path, DWORD capacity, DWORD flags) {
    const DWORD length = GetFinalPathNameByHandleW(handle, path, capacity, flags);
    if (length < capacity && std::wstring(path, length).find(L"unprovable") != std::wstring::npos) {
        return 0;
    }
    return length;
}

GetFinalPathNameByHandleFn findFinalPathExceptUnprovable() {
    return finalPathExceptUnprovable;
}

GetFinalPathNameByHandleFn noFinalPaths() {
    return nullptr;
}

QueryObjectFn noObjectNames() {
    return nullptr;
}

TEST_F(TreeDelete, WhatCannotBeShownToLieInsideStays) {
    const std::wstring root = makeRoot();
    writeFile(root + L"\\a\\unprovable.txt", "stays");
    writeFile(root + L"\\a\\other.txt", "goes");
    writeFile(root + L"\\unprovable\\inner.txt", "stays with its directory");
    writeFile(root + L"\\b.txt", "goes");
    systemCalls.findFinalPathFunction = findFinalPathExceptUnprovable;
    systemCalls.findQueryObjectFunction = noObjectNames;
    EXPECT_TRUE(treeRemainsAfterDeleting(root.c_str(), rootFinalPath_));
    EXPECT_EQ(listFiles(root),
              (std::vector<std::wstring>{L"a\\unprovable.txt", L"unprovable\\inner.txt"}));

    // Without final paths at all nothing can be shown inside.
    systemCalls.findFinalPathFunction = noFinalPaths;
    EXPECT_FALSE(treeRemainsAfterDeleting(root.c_str(), rootFinalPath_));
    EXPECT_FALSE(readFinalPath(root.c_str(), rootFinalPath_, kFinalPathCapacity));
    EXPECT_EQ(listFiles(root).size(), 2u);
}

} // namespace
