// Packages for the Linux launcher's tests, made by the real packer
// (onefile-pack --linux) from a staged directory, with the launcher of the
// native build (under the sanitizers), or the one that
// CORVELLINTH_TEST_LINUX_LAUNCHER names (the host build's, as shipped), and
// the test application (tests/linux/linux_testapp.cpp) as main.so.
#ifndef CORVELLINTH_TESTS_LINUX_SUPPORT_LINUX_PACKAGE_H
#define CORVELLINTH_TESTS_LINUX_SUPPORT_LINUX_PACKAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include "tests/linux/support/linux_process.h"

namespace linux_support {

std::string launcherPath();
std::string packerPath();

// Copies the test application into directory as main.so (made first).
void stageTestApplication(const std::string& directory);

// Packs directory (main.so its main file) into output; fails the test when
// the packer does.
void packDirectory(const std::string& directory, const std::string& output,
                   const std::vector<std::string>& extraOptions = {});

// Writes a package of the launcher around the prepared attached data
// (and the executable-entries record listing executableEntries) into
// output, in this process: quicker than the packer for tests that make
// many packages of crafted data.
void writePackageAround(const std::string& attachedData, const std::string& output,
                        const std::vector<std::uint32_t>& executableEntries = {0});

// A test's package and the temporary directory its runs unpack into:
// stages the test application (and whatever the test adds to tree()
// before pack()), packs it, and runs it with TMPDIR set to a directory of
// its own.
class TestPackage {
  public:
    TestPackage();
    const std::string& tree() const { return tree_; }
    const std::string& package() const { return package_; }
    const std::string& temp() const { return temp_; }
    // Where this package's runs make their run directories.
    std::string runs() const { return temp_ + "/CorvellinthOnefile"; }
    const std::string& scratch() const { return scratch_.path(); }
    void pack(const std::vector<std::string>& extraOptions = {});
    // TMPDIR=temp(), no leak checks, and the given changes.
    std::vector<std::string> environment(const std::vector<std::string>& changes = {}) const;

  private:
    ScratchDirectory scratch_;
    std::string tree_;
    std::string temp_;
    std::string package_;
};

// Where the section name lies in the ELF file at path: {offset, size},
// {0, 0} when it has none.
std::pair<std::uint64_t, std::uint64_t> sectionOf(const std::string& path, const char* name);

// A tmpfs of size bytes ("64m", say) mounted at the new directory path
// (flags: MS_NOEXEC, say) for the test's duration. mounted() is false
// where the test may not mount (not root): the test is skipped then.
class TmpfsMount {
  public:
    TmpfsMount(const std::string& path, unsigned long flags, const char* size = "64m");
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

} // namespace linux_support

#endif
