// The Linux delete walk on its own: everything inside goes, however deep;
// links are removed, never followed; another mount is never entered.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/tree_delete_linux.h"
#include "tests/linux/support/linux_package.h"
#include "tests/linux/support/linux_process.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace linux_support;

class TreeDelete : public ::testing::Test {
  protected:
    void SetUp() override {
        root = scratch.path() + "/root";
        outside = scratch.path() + "/outside";
        mkdir(root.c_str(), 0700);
        mkdir(outside.c_str(), 0755);
        writeFile(outside + "/kept", "kept\n");
        mkdir((outside + "/inner").c_str(), 0755);
        writeFile(outside + "/inner/also-kept", "also kept\n");
    }

    void emptyRoot() {
        const int descriptor = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(descriptor, 0);
        emptyDirectoryTree(descriptor);
        close(descriptor);
    }

    void expectOutsideKept() {
        EXPECT_EQ(readFile(outside + "/kept"), "kept\n");
        EXPECT_EQ(readFile(outside + "/inner/also-kept"), "also kept\n");
    }

    ScratchDirectory scratch;
    std::string root;
    std::string outside;
};

TEST_F(TreeDelete, RemovesATreeDeeperThanAnyPathAndThanTheDescriptorLimit) {
    // 300 levels of 40 bytes: paths of 12,000 bytes (three times PATH_MAX),
    // and, with the walk allowed 64 descriptors, more levels than it could
    // hold open at once.
    constexpr int kLevels = 300;
    constexpr rlim_t kDescriptors = 64;
    const std::string name(40, 'd');
    int level = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int depth = 0; depth < kLevels && level >= 0; ++depth) {
        ASSERT_EQ(mkdirat(level, name.c_str(), 0700), 0);
        const int file = openat(level, "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        close(file);
        const int next = openat(level, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(level);
        level = next;
    }
    ASSERT_GE(level, 0);
    close(level);
    rlimit before{};
    getrlimit(RLIMIT_NOFILE, &before);
    const rlimit few{kDescriptors, before.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
    emptyRoot();
    setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_THAT(namesIn(root), IsEmpty());
}

TEST_F(TreeDelete, RemovesLinksWithoutFollowingThem) {
    mkdir((root + "/sub").c_str(), 0700);
    symlink(outside.c_str(), (root + "/to-directory").c_str());
    symlink((outside + "/kept").c_str(), (root + "/sub/to-file").c_str());
    symlink("loop", (root + "/sub/loop").c_str());
    link((outside + "/kept").c_str(), (root + "/sub/hard").c_str());
    mkfifo((root + "/sub/fifo").c_str(), 0600);
    emptyRoot();
    EXPECT_THAT(namesIn(root), IsEmpty());
    expectOutsideKept();
    EXPECT_THAT(namesIn(outside), ::testing::UnorderedElementsAre("kept", "inner"));
}

TEST_F(TreeDelete, NeverEntersAnotherMount) {
    mkdir((root + "/sub").c_str(), 0700);
    mkdir((root + "/sub/mounted").c_str(), 0700);
    writeFile(root + "/sub/file", "goes\n");
    writeFile(root + "/other", "goes too\n");
    if (mount(outside.c_str(), (root + "/sub/mounted").c_str(), nullptr, MS_BIND, nullptr) != 0) {
        GTEST_SKIP() << "needs root to bind-mount a directory";
    }
    emptyRoot();
    umount2((root + "/sub/mounted").c_str(), MNT_DETACH);
    expectOutsideKept();
    // Only the way to the mount point stays.
    EXPECT_THAT(namesIn(root), ElementsAre("sub"));
    EXPECT_THAT(namesIn(root + "/sub"), ElementsAre("mounted"));
}

} // namespace
