// The packer on Linux, where file names are bytes and the file system tells
// case apart: the walk's order and refusals, and onefile-pack's command line,
// messages and exit codes for what only the native build meets, Linux
// packages among them (checked with the system's readelf, objcopy and strip).
#include <fcntl.h>
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

#include "payload/cache_record.h"
#include "payload/exec_modes.h"
#include "tests/native/support/pe_builder.h"
#include "tests/native/support/test_bytes.h"
#include "tools/packer/byte_io.h"
#include "tools/packer/elf_image.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/pe_image.h"
#include "tools/packer/platform.h"
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
        {{"mainprogram.dll", "MAINPR~1.DLL"}, "/app/MAINPR~1.DLL' could be the short name of '"},
        // Folders too: a file written below one would land in the other.
        {{"sub/Program Files/a", "sub/progra~1/b"},
         "/app/sub/progra~1' could be the short name of '"},
    };
    for (const Refused& check : cases) {
        Scratch scratch;
        scratch.write("app/main.dll", "m");
        for (const std::string& file : check.files) {
            scratch.write("app/" + file, "x");
        }
        const std::string message = refusal(scratch);
        EXPECT_THAT(message, HasSubstr(check.message)) << check.files[0];
        // A clash names both: the first file, or its folder, too.
        const bool clash = check.files.size() == 2;
        const std::string first = check.files[0].substr(0, check.files[0].rfind('/'));
        EXPECT_THAT(message, StartsWith(clash ? "'" + scratch.path() : "cannot pack '"));
        EXPECT_THAT(message, HasSubstr(clash ? "/app/" + first + "'" : ""));
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

TEST(NativeSourceTree, NamesEachLinkThatLeadsOutsideAndFollowsIt) {
    Scratch scratch;
    scratch.write("app/main.dll", "m");
    scratch.write("app/inner/x.txt", "inner");
    scratch.write("shared/lib.dll", "outer");
    fs::create_directory_symlink("inner", scratch / "app/near");
    fs::create_directory_symlink(scratch / "shared", scratch / "app/far");
    fs::create_symlink(scratch / "shared/lib.dll", scratch / "app/lib.dll");
    const packer::SourceTree tree = packer::collectSourceTree(scratch / "app", "main.dll", {});
    EXPECT_EQ(tree.files.size(), 5u) << "every link is followed";
    const std::string outside = "', outside '" + scratch / "app" + "': what it leads to is packed";
    EXPECT_EQ(tree.warnings,
              (std::vector<std::string>{"'" + scratch / "app/far" + "' is a link to '" +
                                            scratch / "shared" + outside,
                                        "'" + scratch / "app/lib.dll" + "' is a link to '" +
                                            scratch / "shared/lib.dll" + outside}));
}

struct PackerRun {
    int exitCode = -1;
    std::string standardError;
    std::string standardOutput;
};

std::string contentOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// Runs the native onefile-pack with arguments.
PackerRun runPacker(const std::vector<std::string>& arguments, const Scratch& scratch) {
    std::vector<std::string> all = {ONEFILE_PACK_PATH};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : all) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const std::string errorPath = scratch / "stderr.txt";
    const std::string outputPath = scratch / "stdout.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t child = 0;
    const int spawned =
        posix_spawn(&child, ONEFILE_PACK_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child) {
        return {};
    }
    PackerRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, contentOf(errorPath),
                  contentOf(outputPath)};
    fs::remove(errorPath);
    fs::remove(outputPath);
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
    EXPECT_EQ(runPacker({"--list", scratch / "app.exe"}, scratch).standardOutput,
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
    std::string i386 = launcher;
    packer::storeU16(i386, native_support::kBuilderPeOffset + 4, 0x014C);
    scratch.write("i386.exe", i386);
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
        {{"--main", "main.dll", "--output", out, "--launcher", scratch / "i386.exe", app},
         1,
         "cannot use '" + scratch / "i386.exe" +
             "' as the launcher: it is a program for another processor (machine 0x014C), not "
             "for x86-64"},
    };
    for (const Failure& check : cases) {
        const PackerRun run = runPacker(check.arguments, scratch);
        EXPECT_EQ(run.exitCode, check.exitCode) << check.message;
        EXPECT_THAT(run.standardError, StartsWith("onefile-pack: ")) << check.message;
        EXPECT_THAT(run.standardError,
                    HasSubstr(check.message + (check.exitCode == 2 ? " (" : "\n")));
        EXPECT_FALSE(fs::exists(out)) << check.message;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.path()), {}), 4) << "no files left";
}

// The options that pack scratch/app with scratch/launcher.exe, quickly.
std::vector<std::string> packOptions(const Scratch& scratch, const std::string& output) {
    return {"--main",  "main.dll", "--launcher", scratch / "launcher.exe",
            "--level", "1",        "--output",   output};
}

TEST(NativePacker, AnOutputMayReplaceAnEarlierPackageInTheTreeButNoOtherFile) {
    Scratch scratch;
    writeLauncher(scratch);
    scratch.write("app/main.dll", "main");
    scratch.write("app/data.txt", "precious");
    scratch.write("shared/notes.txt", "also precious");
    fs::create_directory_symlink(scratch / "shared", scratch / "app/shared");
    for (const std::string& input : {scratch / "app/data.txt", scratch / "shared/notes.txt"}) {
        std::vector<std::string> arguments = packOptions(scratch, input);
        arguments.push_back(scratch / "app");
        const PackerRun run = runPacker(arguments, scratch);
        EXPECT_EQ(run.exitCode, 1) << input;
        EXPECT_THAT(run.standardError, HasSubstr("onefile-pack: the output '" + input +
                                                 "' must not be a file of the packed directory '" +
                                                 scratch / "app" + "'\n"));
    }
    EXPECT_EQ(contentOf(scratch / "app/data.txt"), "precious");
    EXPECT_EQ(contentOf(scratch / "shared/notes.txt"), "also precious");

    // Packing again into the tree replaces the earlier package, never packed.
    std::vector<std::string> again = packOptions(scratch, scratch / "app/app.exe");
    again.push_back(scratch / "app");
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(runPacker(again, scratch).exitCode, 0) << run;
    }
    EXPECT_EQ(runPacker({"--list", scratch / "app/app.exe"}, scratch).standardOutput,
              "subsystem windowed\n4 main.dll\n8 data.txt\n13 shared\\notes.txt\n");
}

TEST(NativePacker, ASignedLauncherLosesItsSignatureWithAWarning) {
    Scratch scratch;
    writeLauncher(scratch);
    scratch.write("app/main.dll", "main");
    std::string launcher = contentOf(scratch / "launcher.exe");
    const std::size_t security = native_support::kBuilderPeOffset + 24 + packer::kFieldDirectories +
                                 8 * packer::kDirectorySecurity;
    packer::storeU32(launcher, security, static_cast<std::uint32_t>(launcher.size()));
    packer::storeU32(launcher, security + 4, 16);
    scratch.write("signed.exe", launcher + std::string(16, 'S'));

    std::vector<std::string> fromSigned = packOptions(scratch, scratch / "signed-app.exe");
    fromSigned[3] = scratch / "signed.exe";
    fromSigned.push_back(scratch / "app");
    const PackerRun run = runPacker(fromSigned, scratch);
    ASSERT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(run.standardError, "onefile-pack: warning: the launcher '" + scratch / "signed.exe" +
                                     "' is signed: its signature would not match the package "
                                     "and is left out\n");
    std::vector<std::string> fromPlain = packOptions(scratch, scratch / "app.exe");
    fromPlain.push_back(scratch / "app");
    ASSERT_EQ(runPacker(fromPlain, scratch).exitCode, 0);
    // No certificate, no directory entry for one, and the checksum right:
    // the very bytes that the launcher without a signature gives.
    const std::string package = contentOf(scratch / "signed-app.exe");
    EXPECT_TRUE(package == contentOf(scratch / "app.exe"));
    const packer::PeImage image = packer::readPeImage(packer::MemorySource(package));
    EXPECT_EQ(image.directories[packer::kDirectorySecurity].size, 0u);
    EXPECT_EQ(packer::loadU32(package, image.optionalOffset + packer::kFieldCheckSum),
              native_support::plainChecksum(package));
}

// A sign command that keeps what it is handed in record/ (numbered in
// order) and signs by appending a mark.
std::string recordingSigner(const Scratch& scratch) {
    return "n=$(ls " + scratch / "record" + " | wc -l) && cp {in} " + scratch / "record" +
           "/$n && cp {in} {out} && printf signed >>{out}";
}

TEST(NativePacker, SignsEveryProgramInsideBeforePackingAndThePackageLast) {
    Scratch scratch;
    writeLauncher(scratch);
    native_support::ImageSpec spec;
    spec.sections = {{".text", "dll"}};
    const std::string dll = native_support::buildImage(spec);
    spec.sections = {{".text", "helper"}};
    const std::string helper = native_support::buildImage(spec);
    scratch.write("app/main.dll", dll);
    scratch.write("app/tools/helper.exe", helper);
    scratch.write("app/data/fake.exe", "MZ but no more");
    scratch.write("app/data/plain.txt", "text");
    fs::create_directories(scratch / "record");
    // Quoted for the shell, whatever the output's folder is called.
    const std::string folder = scratch / "it's $HOME";
    fs::create_directories(folder);

    std::vector<std::string> arguments = packOptions(scratch, folder + "/app.exe");
    arguments.insert(arguments.end(),
                     {"--sign-command", recordingSigner(scratch), scratch / "app"});
    const PackerRun run = runPacker(arguments, scratch);
    ASSERT_EQ(run.exitCode, 0) << run.standardError;

    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "record"), {}), 3);
    EXPECT_TRUE(contentOf(scratch / "record/0") == dll);
    EXPECT_TRUE(contentOf(scratch / "record/1") == helper);
    const std::string unsignedPackage = contentOf(scratch / "record/2");
    EXPECT_TRUE(contentOf(folder + "/app.exe") == unsignedPackage + "signed");
    EXPECT_EQ(runPacker({"--list", folder + "/app.exe"}, scratch).standardOutput,
              "subsystem windowed\n" + std::to_string(dll.size() + 6) +
                  " main.dll\n14 data\\fake.exe\n4 data\\plain.txt\n" +
                  std::to_string(helper.size() + 6) + " tools\\helper.exe\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "temporary files left";
}

TEST(NativePacker, AFailedSignCommandNamesTheFileAndLeavesNothing) {
    Scratch scratch;
    writeLauncher(scratch);
    native_support::ImageSpec spec;
    spec.sections = {{".text", "dll"}};
    scratch.write("app/main.dll", native_support::buildImage(spec));
    fs::create_directories(scratch / "out");
    const std::string output = scratch / "out/app.exe";
    const std::vector<Failure> cases = {
        {{"exit 3 # {in} {out}"},
         1,
         "the sign command failed for entry 'main.dll': it ended with exit code 3\n"},
        {{"true {in} {out}"}, 1, "the sign command wrote no file at {out} for entry 'main.dll'\n"},
        {{"kill -9 $$ # {in} {out}"},
         1,
         "the sign command failed for entry 'main.dll': it was ended by signal 9\n"},
        {{"case {in} in *.tmp) exit 4;; esac; cp {in} {out}"},
         1,
         "the sign command failed for the output '" + output + "': it ended with exit code 4\n"},
        {{"sign {in}"}, 2, "--sign-command needs a command with {in} and {out}, not 'sign {in}'"},
    };
    for (const Failure& check : cases) {
        std::vector<std::string> arguments = packOptions(scratch, output);
        arguments.insert(arguments.end(), {"--sign-command", check.arguments[0], scratch / "app"});
        const PackerRun run = runPacker(arguments, scratch);
        EXPECT_EQ(run.exitCode, check.exitCode) << check.message;
        EXPECT_THAT(run.standardError, HasSubstr("onefile-pack: " + check.message));
        EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "out"), {}), 0) << check.message;
    }
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
// long that takes, before it interrupts.
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
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_FALSE(temporaryFileIn(scratch.path()));
    EXPECT_FALSE(fs::exists(scratch / "app.exe"));
}

// Runs a shell command line, its standard output into a string; the exit
// status in *status.
std::string outputOf(const std::string& command, int* status) {
    std::string output;
    FILE* const pipe = popen(command.c_str(), "r");
    std::array<char, 4096> piece{};
    for (std::size_t got = 0; (got = std::fread(piece.data(), 1, piece.size(), pipe)) > 0;) {
        output.append(piece.data(), got);
    }
    const int result = pclose(pipe);
    *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return output;
}

std::string listingOf(const std::string& package) {
    int status = 0;
    const std::string listing =
        outputOf(std::string(ONEFILE_PACK_PATH) + " --list '" + package + "'", &status);
    return status == 0 ? listing : "(exit " + std::to_string(status) + ")";
}

std::string dumpedSection(const Scratch& scratch, const std::string& package,
                          const std::string& name) {
    const std::string dumped = scratch / "dumped.bin";
    fs::remove(dumped);
    const std::string command = "objcopy --dump-section " + name + "=" + dumped + " '" + package +
                                "' " + scratch / "objcopy-out" + " 2>&1";
    int status = 0;
    const std::string said = outputOf(command, &status);
    fs::remove(scratch / "objcopy-out");
    return status == 0 ? contentOf(dumped) : "(objcopy failed: " + said + ")";
}

// A Linux launcher that runs: this system's true, so that a package of it
// shows that the loader ignores the added sections.
std::string copyLinuxLauncher(const Scratch& scratch) {
    const std::string launcher = scratch / "linux-launcher";
    fs::copy_file("/bin/true", launcher);
    return launcher;
}

void writeMode(const Scratch& scratch, const std::string& name, const std::string& content,
               fs::perms mode) {
    scratch.write(name, content);
    fs::permissions(scratch / name, mode);
}

mode_t currentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

TEST(NativePacker, LinuxPackagesCarryTheTreeAndItsExecutablesWhereElfToolsKeepThem) {
    Scratch scratch;
    const std::string launcher = copyLinuxLauncher(scratch);
    writeMode(scratch, "app/main.so", "main", fs::perms(0644));
    writeMode(scratch, "app/bin/tool", "#!/bin/sh\n", fs::perms(0755));
    writeMode(scratch, "app/data/x.txt", "x", fs::perms(0664));
    writeMode(scratch, "app/run.sh", "owner", fs::perms(0700));
    writeMode(scratch, "app/shared", "group", fs::perms(0654));
    const std::string package = scratch / "package";
    const std::vector<std::string> common = {"--main", "main.so", "--level", "3", "--quiet"};
    std::vector<std::string> arguments = common;
    arguments.insert(arguments.end(), {"--linux", "--launcher", launcher, "--cache", "--output",
                                       package, scratch / "app"});
    const PackerRun packed = runPacker(arguments, scratch);
    ASSERT_EQ(packed.exitCode, 0) << packed.standardError;

    struct stat info {};
    ASSERT_EQ(stat(package.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0777 & ~currentUmask());
    EXPECT_EQ(listingOf(package), "linux\n4 main.so\n10 bin\\tool*\n1 data\\x.txt\n5 run.sh*\n"
                                  "5 shared\n");
    EXPECT_EQ(std::system(package.c_str()), 0) << "the package does not run";

    arguments = common;
    arguments.insert(arguments.end(),
                     {"--write-attached-data", scratch / "attached.bin", scratch / "app"});
    ASSERT_EQ(runPacker(arguments, scratch).exitCode, 0);
    const std::string attached = contentOf(scratch / "attached.bin");
    EXPECT_EQ(dumpedSection(scratch, package, ".onefile"), attached);
    const std::string record = dumpedSection(scratch, package, ".onefile_cache");
    cache::Record parsed{};
    EXPECT_TRUE(cache::parseRecord(reinterpret_cast<const unsigned char*>(record.data()),
                                   record.size(), &parsed));

    int status = 0;
    const std::string sections = outputOf("readelf -S -W '" + package + "'", &status);
    for (const char* name : {".onefile", ".onefile_cache", ".onefile_modes"}) {
        // Type, address 0, offset, size, no entry size, no flags, link, info, alignment 8.
        const std::string line =
            std::string(" ") + name + " +PROGBITS +0{16} [0-9a-f]+ [0-9a-f]+ 00 +0 +0 +8\n";
        EXPECT_THAT(sections, testing::ContainsRegex(line)) << sections;
    }

    // strip rewrites the file: the sections stay, with the same bytes.
    const std::string stripped = scratch / "stripped";
    ASSERT_EQ(std::system(("strip -o " + stripped + " " + package).c_str()), 0);
    EXPECT_EQ(listingOf(stripped), listingOf(package));
    EXPECT_EQ(dumpedSection(scratch, stripped, ".onefile"), attached);
    EXPECT_EQ(std::system(stripped.c_str()), 0);

    // Prepared attached data carries no modes.
    const PackerRun embedded = runPacker({"--attached-data", scratch / "attached.bin", "--linux",
                                          "--launcher", launcher, "--output", scratch / "embedded"},
                                         scratch);
    ASSERT_EQ(embedded.exitCode, 0) << embedded.standardError;
    EXPECT_EQ(listingOf(scratch / "embedded"),
              "linux\n4 main.so\n10 bin\\tool\n1 data\\x.txt\n5 run.sh\n5 shared\n");
    EXPECT_EQ(dumpedSection(scratch, scratch / "embedded", ".onefile"), attached);
}

// The package at path with a 32-bit field of its executable-entries record
// (at offset at in it) set to value.
void setModesField(const std::string& path, std::size_t at, std::uint32_t value) {
    std::string bytes = contentOf(path);
    const packer::MemorySource source(bytes);
    const auto section =
        packer::findElfSection(packer::readElfImage(source), exec_modes::kSectionName);
    ASSERT_TRUE(section);
    std::string changed = bytes;
    for (std::size_t index = 0; index < 4; ++index) {
        changed[section->offset + at + index] = static_cast<char>((value >> (8 * index)) & 0xFF);
    }
    std::ofstream(path, std::ios::binary) << changed;
}

TEST(NativePacker, LinuxPackagesRefuseWindowsOptionsMismatchedLaunchersAndDamagedModes) {
    Scratch scratch;
    writeLauncher(scratch);
    const std::string linuxLauncher = copyLinuxLauncher(scratch);
    writeMode(scratch, "app/main.so", "main", fs::perms(0755));
    const std::string out = scratch / "out";
    const std::string app = scratch / "app";
    const std::vector<std::string> pack = {"--main", "main.so", "--output", out, "--level", "1"};
    const auto with = [&pack](std::vector<std::string> more) {
        more.insert(more.begin(), pack.begin(), pack.end());
        return more;
    };
    const std::string launcherUse = "cannot use '";
    std::vector<Failure> cases;
    for (const std::string option : {"--icon", "--description", "--copyright"}) {
        cases.push_back({with({"--linux", "--launcher", linuxLauncher, option, "x", app}), 2,
                         option + " does not go with --linux: only a Windows package has it"});
    }
    for (const std::string option : {"--console", "--windowed"}) {
        cases.push_back({with({"--linux", option, app}), 2, option + " does not go with --linux"});
    }
    cases.push_back(
        {with({"--linux", "--launcher", linuxLauncher, "--sign-command", "cp {in} {out}", app}), 2,
         "--sign-command does not go with --linux: only a Windows package has it"});
    cases.push_back({with({"--linux", "--launcher", scratch / "launcher.exe", app}), 1,
                     launcherUse + scratch / "launcher.exe" +
                         "' as the launcher: it is not a Linux program (no ELF header at its "
                         "start)"});
    cases.push_back({with({"--launcher", linuxLauncher, app}), 1,
                     launcherUse + linuxLauncher +
                         "' as the launcher: it is a Linux program, which makes a package only "
                         "with --linux"});
    for (const Failure& check : cases) {
        const PackerRun run = runPacker(check.arguments, scratch);
        EXPECT_EQ(run.exitCode, check.exitCode) << check.message;
        EXPECT_THAT(run.standardError, HasSubstr(check.message)) << check.message;
        EXPECT_FALSE(fs::exists(out)) << check.message;
    }

    const std::string package = scratch / "package";
    ASSERT_EQ(runPacker({"--main", "main.so", "--linux", "--launcher", linuxLauncher, "--output",
                         package, "--level", "1", app},
                        scratch)
                  .exitCode,
              0);
    EXPECT_EQ(listingOf(package), "linux\n4 main.so*\n");
    const PackerRun again = runPacker(with({"--linux", "--launcher", package, app}), scratch);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_THAT(again.standardError, HasSubstr("it is a package already (it has a section "
                                               "'.onefile')"));
    // A count that the indices do not fill, and an index beyond the one entry.
    const std::string damaged = scratch / "damaged";
    for (const auto& [at, value] : {std::pair<std::size_t, std::uint32_t>{8, 2}, {12, 1}}) {
        fs::copy_file(package, damaged, fs::copy_options::overwrite_existing);
        setModesField(damaged, at, value);
        int status = 0;
        const std::string listing =
            outputOf(std::string(ONEFILE_PACK_PATH) + " --list " + damaged + " 2>&1", &status);
        EXPECT_EQ(status, 1) << listing;
        EXPECT_THAT(listing, HasSubstr("its executable-entries record (section .onefile_modes) "
                                       "is damaged"));
    }
}

// The folder is read as for a Windows package, but for short names: an
// output inside it replaces only an earlier package, a link that leads out
// is named, names that differ only in case are refused, and a short name's
// look-alike (which Windows refuses) is a file of its own.
TEST(NativePacker, LinuxPackagesReadTheFolderAsWindowsPackagesDoButForShortNames) {
    Scratch scratch;
    writeLauncher(scratch);
    const std::string launcher = copyLinuxLauncher(scratch);
    scratch.write("app/main.so", "main");
    scratch.write("app/longname.text", "long");
    scratch.write("app/LONGNA~1.TEX", "alias");
    scratch.write("shared/notes.txt", "precious");
    fs::create_directory_symlink(scratch / "shared", scratch / "app/shared");
    const auto pack = [&](const std::string& output, std::vector<std::string> more) {
        more.insert(more.end(), {"--main", "main.so", "--level", "1", "--quiet", "--output", output,
                                 scratch / "app"});
        return runPacker(more, scratch);
    };
    const std::vector<std::string> forLinux = {"--linux", "--launcher", launcher};

    const PackerRun windows = pack(scratch / "app.exe", {"--launcher", scratch / "launcher.exe"});
    EXPECT_EQ(windows.exitCode, 1);
    EXPECT_THAT(windows.standardError,
                HasSubstr("/app/LONGNA~1.TEX' could be the short name of '"));

    const std::string package = scratch / "app/package";
    for (int run = 0; run < 2; ++run) {
        const PackerRun packed = pack(package, forLinux);
        ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
        EXPECT_EQ(packed.standardError, "onefile-pack: warning: '" + scratch / "app/shared" +
                                            "' is a link to '" + scratch / "shared" +
                                            "', outside '" + scratch / "app" +
                                            "': what it leads to is packed\n");
    }
    EXPECT_EQ(listingOf(package),
              "linux\n4 main.so\n5 LONGNA~1.TEX\n4 longname.text\n8 shared\\notes.txt\n");

    const std::string input = scratch / "shared/notes.txt";
    const PackerRun intoInput = pack(input, forLinux);
    EXPECT_EQ(intoInput.exitCode, 1);
    EXPECT_THAT(intoInput.standardError,
                HasSubstr("the output '" + input + "' must not be a file of the packed directory"));
    EXPECT_EQ(contentOf(input), "precious");

    scratch.write("app/Main.so", "twin");
    const PackerRun twins = pack(scratch / "twins", forLinux);
    EXPECT_EQ(twins.exitCode, 1);
    EXPECT_THAT(twins.standardError, HasSubstr("' differ only in case"));
}

} // namespace
