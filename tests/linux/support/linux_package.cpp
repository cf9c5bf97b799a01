#include "tests/linux/support/linux_package.h"

#include <fcntl.h>
#include <stdlib.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "payload/elf_sections.h"
#include "tools/packer/byte_io.h"
#include "tools/packer/elf_image.h"
#include "tools/packer/linux_package.h"
#include "tests/linux/support/launcher_test.h"

namespace linux_support {

std::string launcherPath() {
    const char* const chosen = getenv("CORVELLINTH_TEST_LINUX_LAUNCHER");
    return chosen != nullptr ? chosen : CORVELLINTH_LINUX_LAUNCHER;
}

std::string packerPath() {
    return ONEFILE_PACK_PATH;
}

// The launcher of this build lends the application its sanitizers; one
// chosen from elsewhere gets the application without them.
void stageTestApplication(const std::string& directory) {
    mkdir(directory.c_str(), 0755);
    const bool plain = getenv("CORVELLINTH_TEST_LINUX_LAUNCHER") != nullptr;
    writeFile(directory + "/main.so",
              readFile(plain ? CORVELLINTH_LINUX_TESTAPP_PLAIN : CORVELLINTH_LINUX_TESTAPP), 0755);
}

void packDirectory(const std::string& directory, const std::string& output,
                   const std::vector<std::string>& extraOptions) {
    std::vector<std::string> arguments{"--linux", "--launcher", launcherPath(), "--main",
                                       "main.so", "--output",   output,         "--quiet",
                                       "--level", "3"};
    arguments.insert(arguments.end(), extraOptions.begin(), extraOptions.end());
    arguments.push_back(directory);
    const RunResult packed =
        runProgram(packerPath(), arguments, {{"ASAN_OPTIONS=detect_leaks=0"}, "", ""});
    ASSERT_EQ(exitCodeOf(packed.status), 0) << packed.err;
}

void writePackageAround(const std::string& attachedData, const std::string& output,
                        const std::vector<std::uint32_t>& executableEntries) {
    static const std::string launcher = readFile(launcherPath());
    const packer::MemorySource source(launcher);
    const packer::ElfImage image = packer::readElfImage(source);
    packer::MemoryOutput written;
    packer::LinuxPackageWriter writer(source, image,
                                      packer::executableEntriesRecord(executableEntries), written);
    writer.addAttachedData(attachedData.data(), attachedData.size());
    writer.finish();
    writeFile(output, written.bytes, 0755);
}

TestPackage::TestPackage()
    : tree_(scratch_.path() + "/tree"), temp_(scratch_.path() + "/temp"),
      package_(scratch_.path() + "/package") {
    stageTestApplication(tree_);
    mkdir(temp_.c_str(), 0755);
}

void TestPackage::pack(const std::vector<std::string>& extraOptions) {
    packDirectory(tree_, package_, extraOptions);
}

std::vector<std::string> TestPackage::environment(const std::vector<std::string>& changes) const {
    // Leak checks cost each process a fifth of a second here; the tests
    // that look for leaks ask for them.
    std::vector<std::string> result{"TMPDIR=" + temp_, "ASAN_OPTIONS=detect_leaks=0"};
    result.insert(result.end(), changes.begin(), changes.end());
    return result;
}

std::pair<std::uint64_t, std::uint64_t> sectionOf(const std::string& path, const char* name) {
    std::string contents = readFile(path);
    const auto read = [](void* context, std::uint64_t offset, void* destination, std::size_t size) {
        const auto* const bytes = static_cast<const std::string*>(context);
        if (offset > bytes->size() || size > bytes->size() - offset) {
            return false;
        }
        memcpy(destination, bytes->data() + offset, size);
        return true;
    };
    const elf::File file{read, &contents, contents.size()};
    elf::Section found{};
    elf::findSections(file, &name, 1, &found);
    return {found.offset, found.size};
}

TmpfsMount::TmpfsMount(const std::string& path, unsigned long flags, const char* size)
    : path_(path) {
    mkdir(path.c_str(), 0755);
    const std::string options = std::string("mode=0755,size=") + size;
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

TmpfsMount::~TmpfsMount() {
    if (mounted_) {
        umount2(path_.c_str(), MNT_DETACH);
    }
    rmdir(path_.c_str());
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::map<std::string, std::string> valuesOf(const std::string& text) {
    std::map<std::string, std::string> values;
    for (const std::string& line : linesOf(text)) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

} // namespace linux_support
