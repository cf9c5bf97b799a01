// The packer on Linux, where file names are bytes and the file system tells
// case apart: the walk's order and refusals, and onefile-pack's command line,
// messages and exit codes for what only the native build meets.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/native/support/pe_builder.h"
#include "tests/native/support/test_bytes.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/source_tree.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::StartsWith;

class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "packer-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(path_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

    void write(const std::string& name, const std::string& content) const {
        fs::create_directories(fs::path(*this / name).parent_path());
        std::ofstream(*this / name, std::ios::binary) << content;
    }

  private:
    std::string path_;
};

std::string refusal(const Scratch& scratch, const std::string& main = "main.dll") {
    try {
        packer::collectSourceTree(scratch / "app", main, {});
    } catch (const packer::PackError& failure) {
        return failure.message();
    }
    return "(no failure)";
}

TEST(NativeSourceTree, OrdersByCodeUnitsWithTheMainFileFoundIgnoringCase) {
    Scratch scratch;
    for (const char* name : {"app/alpha.txt", "app/Zeta.txt", "app/dir/x.bin", "app/main.DLL",
                             "app/\xC3\xA9t\xC3\xA9.txt", "app/out.exe"}) {
        scratch.write(name, name);
    }
    const packer::SourceTree tree =
        packer::collectSourceTree(scratch / "app", "./MAIN.dll", {scratch / "app/out.exe"});
    std::vector<std::u16string> names;
    for (const packer::SourceFile& file : tree.files) {
        names.push_back(file.name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"main.DLL", u"Zeta.txt", u"alpha.txt",
                                                  u"dir\\x.bin", u"\u00e9t\u00e9.txt"}));
    EXPECT_EQ(tree.files[3].path, scratch / "app/dir/x.bin");
}

struct Refused {
    std::vector<std::string> files;
    std::string message;
};

TEST(NativeSourceTree, RefusesNamesThatWindowsOrTheLauncherCannotTake) {
    const std::vector<Refused> cases = {
        {{"bad\xFF.txt"}, "/app/bad\xEF\xBF\xBD.txt': its name is not valid Unicode"},
        {{"sub/aux.c"}, "/app/sub/aux.c': its name is a device name on Windows"},
        {{"trailing."}, "its name ends in a dot or a space"},
        {{"what?"}, "its name holds a character that Windows does not allow in names"},
        {{"back\\slash"}, "its name holds '\\', which Windows takes for a separator"},
        {{"Readme.txt", "README.TXT"}, "/app/README.TXT' and '"},
        {{"\xC3\x84/x", "\xC3\xA4"},
         "' differ only in case: on Windows one would replace the other"},
    };
    for (const Refused& check : cases) {
        Scratch scratch;
        scratch.write("app/main.dll", "m");
        for (const std::string& file : check.files) {
            scratch.write("app/" + file, "x");
        }
        const std::string message = refusal(scratch);
        EXPECT_THAT(message, HasSubstr(check.message)) << check.files[0];
        EXPECT_THAT(
            message,
            StartsWith(message.find("differ") != std::string::npos ? "'" : "cannot pack '"));
    }
}

TEST(NativeSourceTree, RefusesWhatIsNeitherAFileNorADirectoryAndStopsALoopingLink) {
    Scratch scratch;
    scratch.write("app/main.dll", "m");
    ASSERT_EQ(mkfifo((scratch / "app/pipe").c_str(), 0600), 0);
    EXPECT_EQ(refusal(scratch),
              "cannot pack '" + scratch / "app/pipe" + "': it is neither a file nor a directory");
    fs::remove(scratch / "app/pipe");

    // The system stops following the loop (or the name limit would).
    fs::create_directory_symlink(".", scratch / "app/loop");
    EXPECT_THAT(refusal(scratch), HasSubstr("': Too many levels of symbolic links"));
    fs::remove(scratch / "app/loop");

    fs::create_symlink("nowhere", scratch / "app/dangling");
    EXPECT_EQ(refusal(scratch),
              "cannot read '" + scratch / "app/dangling" + "': No such file or directory");
}

struct PackerRun {
    int exitCode = -1;
    std::string standardError;
};

// Runs the native onefile-pack with arguments (no quoting needed in them).
PackerRun runPacker(const std::vector<std::string>& arguments, const Scratch& scratch) {
    std::string command = ONEFILE_PACK_PATH;
    for (const std::string& argument : arguments) {
        command += " '" + argument + "'";
    }
    command += " 2>" + scratch / "stderr.txt" + " >/dev/null";
    const int status = std::system(command.c_str());
    std::ifstream error(scratch / "stderr.txt");
    PackerRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                  {std::istreambuf_iterator<char>(error), {}}};
    fs::remove(scratch / "stderr.txt");
    return run;
}

// A launcher.exe of one section: enough for the packer, which does not run it.
void writeLauncher(const Scratch& scratch) {
    native_support::ImageSpec spec;
    spec.sections = {{".text", "code"}};
    scratch.write("launcher.exe", native_support::buildImage(spec));
}

TEST(NativePacker, PacksWithALauncherAndListsWhatItPacked) {
    Scratch scratch;
    writeLauncher(scratch);
    scratch.write("app/main.dll", "main");
    scratch.write("app/data/\xC3\xA9.txt", "accent");
    const PackerRun packed =
        runPacker({"--main", "main.dll", "--output", scratch / "app.exe", "--launcher",
                   scratch / "launcher.exe", "--level", "1", scratch / "app"},
                  scratch);
    ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
    const std::string listing = scratch / "listing.txt";
    ASSERT_EQ(std::system((std::string(ONEFILE_PACK_PATH) + " --list " + scratch / "app.exe" +
                           " >" + listing)
                              .c_str()),
              0);
    std::ifstream text(listing);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}),
              "subsystem windowed\n4 main.dll\n6 data\\\xC3\xA9.txt\n");
}

struct Failure {
    std::vector<std::string> arguments;
    int exitCode;
    std::string message;
};

TEST(NativePacker, NewOptionsAndDamagedInputsHaveTheirMessagesAndLeaveNothing) {
    Scratch scratch;
    native_support::ImageSpec spec;
    spec.sections = {{".text", "code"}};
    const std::string launcher = native_support::buildImage(spec);
    scratch.write("cut.exe", launcher.substr(0, 0x100));
    scratch.write("bad.ico", std::string("\0\0\1\0\1\0", 6) + std::string(16, '\0'));
    scratch.write("app/main.dll", "main");
    const std::string out = scratch / "out.exe";
    const std::string app = scratch / "app";
    const std::vector<Failure> cases = {
        {{"--main", "main.dll", "--output", out, "--file-version", "1.2.3.4.5", app},
         2,
         "--file-version needs one to four numbers from 0 to 65535 separated by dots, not "
         "'1.2.3.4.5'"},
        {{"--main", "main.dll", "--output", out, "--product-version", "70000", app},
         2,
         "not '70000'"},
        {{"--main", "main.dll", "--output", out, "--name", "", app},
         2,
         "--name needs a text of 1 to 256 characters, not ''"},
        {{"--main", "main.dll", "--output", out, "--best", "--level", "3", app},
         2,
         "--best does not go with --level"},
        {{"--write-attached-data", out, "--main", "main.dll", "--icon", "x.ico", app},
         2,
         "--icon does not go with --write-attached-data"},
        {{"--main", "main.dll", "--output", out, "--launcher", scratch / "cut.exe", app},
         1,
         "cannot use '" + scratch / "cut.exe" +
             "' as the launcher: it is cut short inside its "
             "optional header"},
        {{"--main", "main.dll", "--output", out, "--launcher", scratch / "cut.exe", "--icon",
          scratch / "bad.ico", app},
         1,
         "cannot use '" + scratch / "bad.ico" + "' as the icon: image 1 is empty"},
    };
    for (const Failure& check : cases) {
        const PackerRun run = runPacker(check.arguments, scratch);
        EXPECT_EQ(run.exitCode, check.exitCode) << check.message;
        EXPECT_THAT(run.standardError, StartsWith("onefile-pack: ")) << check.message;
        EXPECT_THAT(run.standardError,
                    HasSubstr(check.message + (check.exitCode == 2 ? " (" : "\n")));
        EXPECT_FALSE(fs::exists(out)) << check.message;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 3) << "no files left";
}

bool temporaryFileIn(const std::string& directory) {
    for (const auto& item : fs::directory_iterator(directory)) {
        if (item.path().filename().string().rfind("app.exe.onefile-pack-", 0) == 0) {
            return true;
        }
    }
    return false;
}

// Ctrl+C during a long run: the partial output goes, and the packer ends
// by the signal. The test waits for the temporary file to appear, however
// long that takes, and interrupts the run while it is held there.
TEST(NativePacker, AnInterruptedRunLeavesNoTemporaryFile) {
    Scratch scratch;
    writeLauncher(scratch);
    scratch.write("app/main.dll", native_support::pseudoRandomBytes(48 << 20, 9));
    std::vector<std::string> arguments = {ONEFILE_PACK_PATH,
                                          "--main",
                                          "main.dll",
                                          "--output",
                                          scratch / "app.exe",
                                          "--launcher",
                                          scratch / "launcher.exe",
                                          "--level",
                                          "19",
                                          "--threads",
                                          "1",
                                          "--quiet",
                                          scratch / "app"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, ONEFILE_PACK_PATH, nullptr, nullptr, argv.data(), environ), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    while (!temporaryFileIn(scratch.path()) && std::chrono::steady_clock::now() < deadline) {
        usleep(10000);
    }
    ASSERT_TRUE(temporaryFileIn(scratch.path())) << "the run never started writing";
    // Stopped while it is looked at, it cannot finish between the look and
    // the interrupt, which it gets as it goes on.
    int status = 0;
    kill(child, SIGSTOP);
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status)) << status;
    ASSERT_TRUE(temporaryFileIn(scratch.path()) && !fs::exists(scratch / "app.exe"))
        << "the run was over before the interrupt";
    kill(child, SIGINT);
    kill(child, SIGCONT);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_FALSE(temporaryFileIn(scratch.path()));
    EXPECT_FALSE(fs::exists(scratch / "app.exe"));
}

} // namespace
