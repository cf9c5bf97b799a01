// Files and folders for the tests: where the build's programs are, scratch
// directories that remove themselves, whole-file reads and writes.
#ifndef CORVELLINTH_TESTS_SUPPORT_FILES_H
#define CORVELLINTH_TESTS_SUPPORT_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// The directory of the running test executable (build/windows/bin), no
// trailing backslash. The launcher, the packer and the test DLLs are there.
std::wstring binaryDirectory();

// A fresh directory under the system's temp directory, removed with all its
// content when the object goes.
class ScratchDirectory {
  public:
    explicit ScratchDirectory(const std::wstring& hint = L"t");
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
};

bool fileExists(const std::wstring& path);
bool directoryExists(const std::wstring& path);
std::string readFile(const std::wstring& path);
// Creates missing parent directories.
void writeFile(const std::wstring& path, const std::string& content);
// Never follows a link: a link is removed itself (a Linux one with rm).
void removeTree(const std::wstring& path);

// Under Wine, the Linux path of a Windows path (which need not exist);
// empty elsewhere.
std::string linuxPath(const std::wstring& path);
// Under Wine, runs the Linux program at Linux path program with arguments,
// waits for it to end (30 s at most) and returns its exit code; -1 when it
// cannot be started or does not end.
int runLinuxProgram(const std::string& program, const std::vector<std::string>& arguments);
// Under Wine, makes a Linux symbolic link at link pointing to target, the
// way a program on the Linux side would (Wine's own CreateSymbolicLinkW
// makes nothing). False when that is not possible.
bool makeLinuxSymlink(const std::wstring& link, const std::wstring& target);
// Creates an empty file name in directory and returns the short (8.3) name
// that the file system gave it; name itself when it gave none.
std::wstring shortNameOf(const std::wstring& directory, const std::wstring& name);
// The names directly inside directory, sorted, without following anything.
std::vector<std::wstring> namesIn(const std::wstring& directory);
// Every file below root, as names relative to it with '\' separators, sorted.
std::vector<std::wstring> listFiles(const std::wstring& root);
std::wstring systemTempDirectory(); // GetTempPathW without the trailing '\'

// count reproducible bytes of every value from a linear congruential
// sequence: the same seed gives the same bytes, different seeds differ.
std::string pseudoRandomBytes(std::size_t count, std::uint32_t seed);

} // namespace testing_support

#endif
