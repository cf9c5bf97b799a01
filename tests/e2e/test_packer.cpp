// onefile-pack.exe as a user runs it: what it writes (read back here with
// zstd directly, independently of the packer's own code), that the same tree
// gives the same bytes, every refused input, and a packaged sample that runs.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/packaging.h"
#include "tools/packer/packing.h"

namespace {

using testing::HasSubstr;
using testing::StartsWith;
using testing_support::attachedDataOf;
using testing_support::binaryDirectory;
using testing_support::narrow;
using testing_support::ProcessResult;
using testing_support::readFile;
using testing_support::ScratchDirectory;
using testing_support::writeFile;

using testing_support::pack;

std::string textLike(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    const char* const words[] = {"launcher ", "entry ", "window ", "frame ", "data\r\n", "name "};
    std::string out;
    while (out.size() < size) {
        out += words[random() % std::size(words)];
    }
    out.resize(size);
    return out;
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(random());
    }
    return out;
}

std::uint64_t readU64(const std::string& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

struct ReadEntry {
    std::wstring name;
    std::string data;
};

// The whole frame decompressed in one go and walked by hand.
std::vector<ReadEntry> readEntries(const std::string& attachedData) {
    ZSTD_DCtx* const context = ZSTD_createDCtx();
    std::string stream;
    std::string chunk(1 << 16, '\0');
    ZSTD_inBuffer input{attachedData.data() + 3, attachedData.size() - 3, 0};
    std::size_t left = 1;
    while (left != 0) {
        ZSTD_outBuffer output{chunk.data(), chunk.size(), 0};
        left = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(left)) {
            ADD_FAILURE() << ZSTD_getErrorName(left);
            break;
        }
        stream.append(chunk.data(), output.pos);
    }
    ZSTD_freeDCtx(context);
    std::vector<ReadEntry> entries;
    std::size_t at = 0;
    for (;;) {
        std::wstring name;
        while (at + 2 <= stream.size() && (stream[at] != 0 || stream[at + 1] != 0)) {
            name.push_back(static_cast<wchar_t>(static_cast<unsigned char>(stream[at]) |
                                                static_cast<unsigned char>(stream[at + 1]) << 8));
            at += 2;
        }
        at += 2;
        if (name.empty()) {
            EXPECT_EQ(at, stream.size()) << "the end marker must end the stream";
            return entries;
        }
        const std::uint64_t size = readU64(stream, at);
        at += 8;
        entries.push_back({name, stream.substr(at, static_cast<std::size_t>(size))});
        at += static_cast<std::size_t>(size);
        if (at > stream.size()) {
            ADD_FAILURE() << "entry runs past the stream";
            return entries;
        }
    }
}

// A tree with what trips up a naive packer: the main file in a subfolder
// named with '/', names that sort differently by case and by code unit,
// non-ASCII names, an empty file, random and text data larger than the
// read chunk.
class PackedTree : public ::testing::Test {
  protected:
    void SetUp() override {
        files_ = {
            {L"bin\\app.dll", textLike(5000, 1)},
            {L"a.txt", "lower"},
            {L"B.txt", "upper"},
            {L"b\\nested\\deep\\file.bin", randomBytes(1500000, 2)},
            {L"donn\u00e9es\\\u00e9t\u00e9.txt", "accents"},
            {L"empty", ""},
            {L"text\\big.log", textLike(3000000, 3)},
            {L"zz", "last"},
        };
        for (const ReadEntry& file : files_) {
            writeFile(source_ + L"\\" + file.name, file.data);
        }
    }

    // The files as the packer must order them: main first, the rest by code
    // unit ('B' < 'a', and "b\..." after "a.txt").
    std::vector<ReadEntry> expectedOrder() const {
        std::vector<ReadEntry> order = files_;
        std::sort(order.begin() + 1, order.end(),
                  [](const ReadEntry& a, const ReadEntry& b) { return a.name < b.name; });
        return order;
    }

    ScratchDirectory scratch_{L"packer"};
    std::wstring source_ = scratch_ / L"source";
    std::vector<ReadEntry> files_;
};

TEST_F(PackedTree, ListAndIndependentReaderAgreeWithTheSourceTree) {
    const std::wstring output = scratch_ / L"app.exe";
    const ProcessResult packed =
        pack({L"--main", L"./bin/app.dll", L"--output", output, L"--level", L"3", source_});
    ASSERT_EQ(packed.exitCode, 0u) << packed.standardError;
    EXPECT_EQ(packed.standardError, "") << "no progress line when standard error is a pipe";
    EXPECT_THAT(packed.standardOutput, HasSubstr("8 files"));

    const std::vector<ReadEntry> expected = expectedOrder();
    const std::vector<ReadEntry> entries = readEntries(attachedDataOf(output));
    ASSERT_EQ(entries.size(), expected.size());
    std::string listing = "subsystem windowed\n";
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(narrow(entries[i].name), narrow(expected[i].name)) << i;
        EXPECT_TRUE(entries[i].data == expected[i].data) << narrow(expected[i].name);
        listing += std::to_string(expected[i].data.size()) + " " + narrow(expected[i].name) + "\n";
    }

    const ProcessResult listed = pack({L"--list", output});
    EXPECT_EQ(listed.exitCode, 0u) << listed.standardError;
    EXPECT_EQ(listed.standardOutput, listing);
}

TEST_F(PackedTree, AttachedDataMatchesTheFormatFieldByField) {
    const std::wstring file = scratch_ / L"attached.bin";
    const ProcessResult written = pack({L"--write-attached-data", file, L"--main", L"bin\\app.dll",
                                        L"--level", L"3", L"--quiet", source_});
    ASSERT_EQ(written.exitCode, 0u) << written.standardError;
    EXPECT_EQ(written.standardOutput, "");
    const std::string data = readFile(file);
    ASSERT_GT(data.size(), 20u);

    EXPECT_EQ(data.substr(0, 7), std::string("KAY\x28\xB5\x2F\xFD", 7));
    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, data.data() + 3, data.size() - 3), 0u);
    EXPECT_EQ(header.frameType, ZSTD_frame);
    EXPECT_EQ(header.frameContentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    EXPECT_EQ(header.checksumFlag, 0u);
    EXPECT_EQ(header.dictID, 0u);
    EXPECT_LE(header.windowSize, 2u << 20);

    const std::size_t frameSize = ZSTD_findFrameCompressedSize(data.data() + 3, data.size() - 3);
    ASSERT_FALSE(ZSTD_isError(frameSize));
    const std::size_t valueAt = data.size() - 8;
    const std::size_t frameEnd = 3 + frameSize;
    ASSERT_LE(frameEnd, valueAt);
    EXPECT_LT(valueAt - frameEnd, 8u) << "zero bytes only up to the next multiple of 8";
    EXPECT_EQ(data.substr(frameEnd, valueAt - frameEnd), std::string(valueAt - frameEnd, '\0'));
    EXPECT_EQ(valueAt % 8, 0u);
    EXPECT_EQ(readU64(data, valueAt), valueAt);

    // The same tree packed into an executable carries the same bytes.
    const std::wstring output = scratch_ / L"app.exe";
    ASSERT_EQ(
        pack({L"--main", L"bin/app.dll", L"--output", output, L"--level", L"3", source_}).exitCode,
        0u);
    EXPECT_TRUE(attachedDataOf(output) == data);
}

TEST_F(PackedTree, SameTreeGivesIdenticalFilesWhateverTheThreads) {
    // The output inside the tree: a later run must not pack an earlier one's.
    const std::wstring output = source_ + L"\\app.exe";
    std::string first;
    for (const wchar_t* threads : {L"2", L"4", L"4"}) {
        const ProcessResult result = pack({L"--main", L"bin/app.dll", L"--output", output,
                                           L"--level", L"5", L"--threads", threads, source_});
        ASSERT_EQ(result.exitCode, 0u) << result.standardError;
        const std::string packed = readFile(output);
        if (first.empty()) {
            first = packed;
        }
        EXPECT_TRUE(packed == first) << "threads " << narrow(threads);
    }
    EXPECT_EQ(readEntries(attachedDataOf(output)).size(), files_.size());
}

TEST_F(PackedTree, NamesUpTo1023CodeUnitsPassAndLongerOnesAreRefused) {
    // Nested folders, since a single component is limited to 255 bytes.
    const auto longName = [](std::size_t units) {
        std::wstring name;
        while (units - name.size() > 201) {
            name += std::wstring(200, L'n') + L"\\";
        }
        return name + std::wstring(units - name.size(), L'f');
    };
    const std::wstring output = scratch_ / L"app.exe";
    writeFile(source_ + L"\\" + longName(1023), "fits");
    const ProcessResult accepted =
        pack({L"--main", L"bin/app.dll", L"--output", output, L"--level", L"1", source_});
    ASSERT_EQ(accepted.exitCode, 0u) << accepted.standardError;
    EXPECT_THAT(pack({L"--list", output}).standardOutput,
                HasSubstr("4 " + narrow(longName(1023)) + "\n"));

    DeleteFileW(output.c_str());
    writeFile(source_ + L"\\x" + longName(1023), "one too many");
    const ProcessResult refused =
        pack({L"--main", L"bin/app.dll", L"--output", output, L"--level", L"1", source_});
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_THAT(refused.standardError, StartsWith("onefile-pack: name of 1024 code units"));
    EXPECT_FALSE(testing_support::fileExists(output));
}

struct ErrorCase {
    const char* title;
    std::function<std::vector<std::wstring>(const std::wstring& source,
                                            const std::wstring& scratch)>
        arguments;
    DWORD exitCode;
    const char* message;
};

class PackerErrors : public PackedTree {};

TEST_F(PackerErrors, EachBadInputHasItsMessageExitCodeAndNoOutput) {
    writeFile(scratch_ / L"plain.txt", "not a directory");
    CreateDirectoryW((source_ + L"\\folder.dll").c_str(), nullptr);
    const std::wstring launcher = binaryDirectory() + L"\\Corvellinth.exe";
    const std::vector<ErrorCase> cases = {
        {"missing directory",
         [](auto&, auto& s) {
             return std::vector<std::wstring>{L"--main", L"m", L"--output", s + L"\\out.exe",
                                              s + L"\\nothing"};
         },
         1, "onefile-pack: cannot read directory '"},
        {"directory is a file",
         [](auto&, auto& s) {
             return std::vector<std::wstring>{L"--main", L"m", L"--output", s + L"\\out.exe",
                                              s + L"\\plain.txt"};
         },
         1, "is not a directory"},
        {"main file missing",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--main", L"nope.dll", L"--output", s + L"\\out.exe",
                                              d};
         },
         1, "onefile-pack: main file 'nope.dll' not found in '"},
        {"main file is a folder",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--main", L"folder.dll", L"--output",
                                              s + L"\\out.exe", d};
         },
         1, "onefile-pack: main file 'folder.dll' is not a file"},
        {"main file outside the tree",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--main", L"../plain.txt", L"--output",
                                              s + L"\\out.exe", d};
         },
         1, "must be a path inside the directory"},
        {"output folder missing",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--main", L"a.txt", L"--output",
                                              s + L"\\no\\out.exe", d};
         },
         1, "onefile-pack: cannot write '"},
        {"output is a folder",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--main", L"a.txt", L"--output", s, d};
         },
         1, "it is a directory"},
        {"attached data folder missing",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--write-attached-data", s + L"\\no\\out.exe",
                                              L"--main", L"a.txt", d};
         },
         1, "onefile-pack: cannot write '"},
        {"launcher missing",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{
                 L"--main",         L"a.txt", L"--output", s + L"\\out.exe", L"--launcher",
                 s + L"\\none.exe", d};
         },
         1, "onefile-pack: cannot read the launcher '"},
        {"prepared data missing",
         [](auto&, auto& s) {
             return std::vector<std::wstring>{L"--attached-data", s + L"\\none.bin", L"--output",
                                              s + L"\\out.exe"};
         },
         1, "onefile-pack: cannot read '"},
        {"unknown option",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--main",        L"a.txt",        L"--output",
                                              s + L"\\out.exe", L"--frobnicate", d};
         },
         2, "onefile-pack: unknown option '--frobnicate'"},
        {"missing value",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--output", s + L"\\out.exe", d, L"--main"};
         },
         2, "onefile-pack: --main needs a value"},
        {"level out of range",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{
                 L"--main", L"a.txt", L"--output", s + L"\\out.exe", L"--level", L"23", d};
         },
         2, "onefile-pack: --level needs a number from 1 to 22, not '23'"},
        {"no --main",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--output", s + L"\\out.exe", d};
         },
         2, "onefile-pack: --main is missing"},
        {"two directories",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{L"--main",        L"a.txt", L"--output",
                                              s + L"\\out.exe", d,        d};
         },
         2, "onefile-pack: only one directory can be packed"},
        {"option of another mode",
         [](auto&, auto& s) {
             return std::vector<std::wstring>{L"--list", s + L"\\out.exe", L"--level", L"3"};
         },
         2, "onefile-pack: --level does not go with --list"},
        {"both launchers",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{
                 L"--main",     L"a.txt", L"--output", s + L"\\out.exe", L"--console",
                 L"--windowed", d};
         },
         2, "onefile-pack: --console does not go with --windowed"},
        {"a launcher for attached data only",
         [](auto& d, auto& s) {
             return std::vector<std::wstring>{
                 L"--write-attached-data", s + L"\\out.bin", L"--main", L"a.txt", L"--console", d};
         },
         2, "onefile-pack: --console does not go with --write-attached-data"},
        {"a launcher of the other subsystem",
         [launcher](auto& d, auto& s) {
             return std::vector<std::wstring>{
                 L"--main",     L"a.txt", L"--output",  s + L"\\out.exe",
                 L"--launcher", launcher, L"--console", d};
         },
         1, "' is a windowed program, not a console one"},
        {"listing an executable without attached data",
         [launcher](auto&, auto&) {
             return std::vector<std::wstring>{L"--list", launcher};
         },
         1, "onefile-pack: no attached data in '"},
    };
    for (const ErrorCase& error : cases) {
        const ProcessResult result = pack(error.arguments(source_, scratch_.path()));
        EXPECT_EQ(result.exitCode, error.exitCode) << error.title;
        EXPECT_THAT(result.standardError, StartsWith("onefile-pack: ")) << error.title;
        EXPECT_THAT(result.standardError, HasSubstr(error.message)) << error.title;
        EXPECT_EQ(std::count(result.standardError.begin(), result.standardError.end(), '\n'), 1)
            << error.title << ": one line";
        EXPECT_EQ(result.standardOutput, "") << error.title;
        // Nothing left behind: neither an output nor a temporary file.
        EXPECT_EQ(testing_support::listFiles(scratch_.path()).size(), files_.size() + 1)
            << error.title;
    }
}

TEST_F(PackerErrors, AnUnreadableFileIsNamedAndLeavesNoOutput) {
    const std::wstring locked = source_ + L"\\b\\nested\\deep\\file.bin";
    const HANDLE holder =
        CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::wstring output = scratch_ / L"app.exe";
    const ProcessResult result =
        pack({L"--main", L"bin/app.dll", L"--output", output, L"--level", L"1", source_});
    CloseHandle(holder);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_THAT(result.standardError, StartsWith("onefile-pack: cannot read '"));
    EXPECT_THAT(result.standardError, HasSubstr("b\\nested\\deep\\file.bin'"));
    EXPECT_EQ(testing_support::listFiles(scratch_.path()).size(), files_.size());
}

TEST_F(PackerErrors, AnOutputNamingTheLauncherLeavesTheLauncherAlone) {
    const std::wstring launcher = scratch_ / L"launcher.exe";
    ASSERT_TRUE(
        CopyFileW((binaryDirectory() + L"\\Corvellinth.exe").c_str(), launcher.c_str(), FALSE));
    const std::string before = readFile(launcher);
    const ProcessResult result = pack({L"--main", L"a.txt", L"--launcher", launcher, L"--output",
                                       scratch_ / L"LAUNCHER.EXE", source_});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_THAT(result.standardError, HasSubstr("must not be the input"));
    EXPECT_TRUE(readFile(launcher) == before);
}

// A file of the tree named as the output, in any case or through a hard
// link outside the tree, stays as it is; an earlier package there may be
// replaced (see SameTreeGivesIdenticalFilesWhateverTheThreads), and so may
// earlier attached data.
TEST_F(PackerErrors, AnOutputNamingAFileOfTheTreeLeavesItAlone) {
    const std::wstring input = source_ + L"\\b\\NESTED\\deep\\FILE.BIN";
    const std::wstring link = scratch_ / L"link.bin";
    ASSERT_TRUE(CreateHardLinkW(link.c_str(), input.c_str(), nullptr));
    const std::string before = readFile(input);
    for (const std::wstring& output : {input, link}) {
        for (const bool attachedOnly : {false, true}) {
            const ProcessResult result =
                attachedOnly
                    ? pack({L"--write-attached-data", output, L"--main", L"a.txt", source_})
                    : pack({L"--main", L"a.txt", L"--output", output, source_});
            EXPECT_EQ(result.exitCode, 1u) << narrow(output) << attachedOnly;
            EXPECT_THAT(result.standardError,
                        HasSubstr("' must not be a file of the packed directory '"));
            EXPECT_TRUE(readFile(input) == before);
        }
    }
    DeleteFileW(link.c_str());
    const std::wstring attached = source_ + L"\\attached.bin";
    for (int run = 0; run < 2; ++run) {
        const ProcessResult result = pack({L"--write-attached-data", attached, L"--main", L"a.txt",
                                           L"--level", L"1", L"--quiet", source_});
        EXPECT_EQ(result.exitCode, 0u) << run << result.standardError;
    }
    EXPECT_EQ(readEntries(readFile(attached)).size(), files_.size());
}

// cmd.exe expands %NAME% even inside quotes: a path holding '%' is not
// handed to it.
TEST_F(PackerErrors, ASignCommandIsNeverHandedAPathThatCmdWouldChange) {
    const std::wstring folder = scratch_ / L"100%PATH%";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const ProcessResult result =
        pack({L"--main", L"a.txt", L"--output", folder + L"\\app.exe", L"--level", L"1",
              L"--sign-command", L"copy /b {in} {out}", source_});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_THAT(result.standardError,
                HasSubstr("the sign command failed for the output '" + narrow(folder) +
                          "\\app.exe': cmd.exe cannot be handed '"));
    EXPECT_THAT(result.standardError, HasSubstr("' unchanged: it holds '%'\n"));
    EXPECT_TRUE(testing_support::listFiles(folder).empty());
}

TEST_F(PackerErrors, PreparedDataIsEmbeddedAsItIsAndDamageIsReportedByList) {
    const std::wstring file = scratch_ / L"attached.bin";
    ASSERT_EQ(pack({L"--write-attached-data", file, L"--main", L"a.txt", L"--level", L"1",
                    L"--quiet", source_})
                  .exitCode,
              0u);
    std::string data = readFile(file);
    data.resize(data.size() / 2); // cut inside the frame
    writeFile(file, data);
    const std::wstring output = scratch_ / L"cut.exe";
    const ProcessResult embedded = pack({L"--attached-data", file, L"--output", output});
    ASSERT_EQ(embedded.exitCode, 0u) << embedded.standardError;
    EXPECT_TRUE(attachedDataOf(output) == data);

    const ProcessResult listed = pack({L"--list", output});
    EXPECT_EQ(listed.exitCode, 1u);
    EXPECT_THAT(listed.standardError, StartsWith("onefile-pack: '"));
    EXPECT_THAT(listed.standardError, HasSubstr("damaged attached data: the frame is cut short"));
}

std::uint16_t subsystemOf(const std::wstring& executable) {
    return packer::readPeImage(packer::InputFile(narrow(executable))).subsystem;
}

// --console packs into the console launcher beside the packer, --windowed
// (the default) into the windowed one; --list says which a package is.
TEST(PackagedSample, ConsoleAndWindowedPackagesComeFromTheirLaunchers) {
    ScratchDirectory scratch(L"kinds");
    const std::wstring staged = binaryDirectory() + L"\\..\\sample_app";
    const struct {
        std::vector<std::wstring> options;
        std::uint16_t subsystem;
        const char* listed;
    } kinds[] = {{{}, 2, "subsystem windowed\n"},
                 {{L"--windowed"}, 2, "subsystem windowed\n"},
                 {{L"--console"}, 3, "subsystem console\n"}};
    for (const auto& kind : kinds) {
        const std::wstring output = scratch / L"sample.exe";
        std::vector<std::wstring> arguments = {L"--main",  L"main.dll", L"--output", output,
                                               L"--level", L"1",        L"--quiet",  staged};
        arguments.insert(arguments.begin(), kind.options.begin(), kind.options.end());
        ASSERT_EQ(pack(arguments).exitCode, 0u);
        EXPECT_EQ(subsystemOf(output), kind.subsystem);
        const ProcessResult listed = pack({L"--list", output});
        EXPECT_THAT(listed.standardOutput, StartsWith(kind.listed));
        EXPECT_EQ(testing_support::runProcess(output, {L"--exit", L"6"}).exitCode, 6u);
    }
}

TEST(PackagedSample, RunsUnderWineAndKeepsTheLauncherResources) {
    ScratchDirectory scratch(L"sample");
    const std::wstring staged = binaryDirectory() + L"\\..\\sample_app";
    const std::wstring output = scratch / L"sample.exe";
    const ProcessResult packed = pack({L"--main", L"main.dll", L"--output", output, staged});
    ASSERT_EQ(packed.exitCode, 0u) << packed.standardError;

    const ProcessResult run =
        testing_support::runProcess(output, {L"one", L"with a blank", L"--exit", L"9"});
    EXPECT_EQ(run.exitCode, 9u) << run.standardOutput << run.standardError;
    // The sample writes through the C runtime in text mode.
    std::string out;
    for (const char c : run.standardOutput) {
        if (c != '\r') {
            out.push_back(c);
        }
    }
    EXPECT_THAT(out, HasSubstr("argv[0] = [" + narrow(output) + "]"));
    EXPECT_THAT(out, HasSubstr("argv[2] = [with a blank]"));
    EXPECT_THAT(out, HasSubstr("TAMBRO_ONEFILE_PARENT=" + std::to_string(run.processId)));
    wchar_t shortForm[MAX_PATH];
    ASSERT_NE(GetShortPathNameW(scratch.path().c_str(), shortForm, MAX_PATH), 0u);
    EXPECT_THAT(out, HasSubstr("TAMBRO_ONEFILE_DIRECTORY=" + narrow(shortForm) + "\n"));
    EXPECT_THAT(out, HasSubstr("TAMBRO_ORIGINAL_ARGV0=" + narrow(output) + "\n"));
    EXPECT_THAT(out, Not(HasSubstr("(not set)")));
    for (const std::wstring& name : testing_support::listFiles(staged)) {
        const std::string size = std::to_string(readFile(staged + L"\\" + name).size());
        EXPECT_THAT(out, HasSubstr("  " + narrow(name) + " (" + size + " bytes)"));
    }
    EXPECT_THAT(out, HasSubstr(readFile(staged + L"\\data\\greeting.txt")));

    const HMODULE module = LoadLibraryExW(output.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    EXPECT_NE(testing_support::resourceBytes(module, 14, 1), "<missing>");
    EXPECT_NE(testing_support::resourceBytes(module, 3, 1), "<missing>");
    EXPECT_THAT(testing_support::resourceBytes(module, 16, 1),
                HasSubstr(std::string("C\0o\0r\0v\0e\0l", 12)));
    EXPECT_THAT(testing_support::resourceBytes(module, 24, 1), HasSubstr(R"(name="Mini")"));
    EXPECT_THAT(testing_support::resourceBytes(module, 10, 27), StartsWith("KAY"));
    FreeLibrary(module);
}

} // namespace
