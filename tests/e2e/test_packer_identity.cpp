// The application's identity in a packaged executable: --icon and the
// version options read back exactly through the Windows API, the defaults
// they derive, and launchers or icons that cannot be used.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"

namespace {

using testing::HasSubstr;
using testing_support::binaryDirectory;
using testing_support::narrow;
using testing_support::pack;
using testing_support::ProcessResult;
using testing_support::ScratchDirectory;

const std::wstring kLauncher = binaryDirectory() + L"\\Corvellinth.exe";
const std::wstring kSample = binaryDirectory() + L"\\..\\sample_app";

struct Image {
    BYTE width;
    BYTE height;
    WORD bitCount;
    std::string data;
};

void put(std::string& out, std::uint32_t value, int bytes) {
    for (int index = 0; index < bytes; ++index) {
        out.push_back(static_cast<char>((value >> (8 * index)) & 0xFF));
    }
}

// A PNG image of 256 pixels and a 16-pixel bitmap: the loader does not look
// inside them, so their bodies need not be real pictures.
std::vector<Image> testImages() {
    std::string bitmap;
    put(bitmap, 40, 4);
    put(bitmap, 16, 4);
    put(bitmap, 32, 4);
    bitmap += std::string(28, '\0') + std::string(16 * 16 * 4 + 64, '\x5A');
    return {{0, 0, 32, "\x89PNG\r\n\x1a\n" + testing_support::pseudoRandomBytes(900, 4)},
            {16, 16, 32, bitmap}};
}

std::string iconFile(const std::vector<Image>& images) {
    std::string file;
    put(file, 0, 2);
    put(file, 1, 2);
    put(file, static_cast<std::uint32_t>(images.size()), 2);
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (const Image& image : images) {
        file += {static_cast<char>(image.width), static_cast<char>(image.height), 0, 0};
        put(file, 1, 2);
        put(file, image.bitCount, 2);
        put(file, static_cast<std::uint32_t>(image.data.size()), 4);
        put(file, offset, 4);
        offset += static_cast<std::uint32_t>(image.data.size());
    }
    for (const Image& image : images) {
        file += image.data;
    }
    return file;
}

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width;
    BYTE height;
    BYTE colours;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

class VersionRecord {
  public:
    explicit VersionRecord(const std::wstring& path) {
        DWORD ignored = 0;
        record_.resize(GetFileVersionInfoSizeW(path.c_str(), &ignored));
        EXPECT_FALSE(record_.empty());
        EXPECT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(record_.size()),
                                        record_.data()));
    }

    std::wstring text(const wchar_t* name) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        wchar_t* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(record_.data(), query.c_str(), reinterpret_cast<void**>(&value),
                            &length)) {
            return L"<missing>";
        }
        return std::wstring(value, length > 0 ? length - 1 : 0);
    }

    VS_FIXEDFILEINFO fixed() {
        VS_FIXEDFILEINFO* info = nullptr;
        UINT length = 0;
        EXPECT_TRUE(
            VerQueryValueW(record_.data(), L"\\", reinterpret_cast<void**>(&info), &length));
        return info != nullptr ? *info : VS_FIXEDFILEINFO{};
    }

  private:
    std::vector<char> record_;
};

TEST(PackerIdentity, IconAndVersionOptionsReadBackExactlyAndTheProgramRuns) {
    ScratchDirectory scratch(L"identity");
    const std::vector<Image> images = testImages();
    testing_support::writeFile(scratch / L"app.ico", iconFile(images));
    const std::wstring output = scratch / L"anything.exe";
    const std::wstring description = L"Counts things \u2014 quickly";
    const std::wstring copyright = L"\u00a9 2026 Example Ltd";
    const ProcessResult packed = pack({L"--main",
                                       L"main.dll",
                                       L"--output",
                                       output,
                                       L"--level",
                                       L"1",
                                       L"--icon",
                                       scratch / L"app.ico",
                                       L"--name",
                                       L"Tally",
                                       L"--company",
                                       L"Example Ltd",
                                       L"--product",
                                       L"Tally Suite",
                                       L"--description",
                                       description,
                                       L"--file-version",
                                       L"1.2.3",
                                       L"--product-version",
                                       L"4.5.6.7",
                                       L"--copyright",
                                       copyright,
                                       kSample});
    ASSERT_EQ(packed.exitCode, 0u) << packed.standardError;

    VersionRecord record(output);
    EXPECT_EQ(record.text(L"CompanyName"), L"Example Ltd");
    EXPECT_EQ(record.text(L"FileDescription"), description);
    EXPECT_EQ(record.text(L"FileVersion"), L"1.2.3");
    EXPECT_EQ(record.text(L"InternalName"), L"Tally");
    EXPECT_EQ(record.text(L"LegalCopyright"), copyright);
    EXPECT_EQ(record.text(L"OriginalFilename"), L"Tally.exe");
    EXPECT_EQ(record.text(L"ProductName"), L"Tally Suite");
    EXPECT_EQ(record.text(L"ProductVersion"), L"4.5.6.7");
    const VS_FIXEDFILEINFO fixed = record.fixed();
    EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed.dwFileVersionMS, (1u << 16) | 2u);
    EXPECT_EQ(fixed.dwFileVersionLS, 3u << 16);
    EXPECT_EQ(fixed.dwProductVersionMS, (4u << 16) | 5u);
    EXPECT_EQ(fixed.dwProductVersionLS, (6u << 16) | 7u);

    const HMODULE module = LoadLibraryExW(output.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const HMODULE launcher = LoadLibraryExW(kLauncher.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    const std::string group = testing_support::resourceBytes(module, 14, 1);
    ASSERT_EQ(group.size(), 6 + sizeof(GroupEntry) * images.size());
    EXPECT_EQ(group.substr(0, 6), std::string("\0\0\1\0\2\0", 6));
    for (std::size_t index = 0; index < images.size(); ++index) {
        GroupEntry entry;
        std::memcpy(&entry, group.data() + 6 + index * sizeof(entry), sizeof(entry));
        EXPECT_EQ(entry.width, images[index].width);
        EXPECT_EQ(entry.bitCount, images[index].bitCount);
        EXPECT_EQ(entry.bytes, images[index].data.size());
        EXPECT_TRUE(testing_support::resourceBytes(module, 3, entry.id) == images[index].data)
            << index;
    }
    EXPECT_EQ(testing_support::resourceBytes(module, 3, 3), "<missing>")
        << "the launcher's other icons are gone";
    EXPECT_EQ(testing_support::resourceBytes(module, 24, 1),
              testing_support::resourceBytes(launcher, 24, 1));
    FreeLibrary(launcher);
    FreeLibrary(module);

    const ProcessResult run = testing_support::runProcess(output, {L"--exit", L"3"});
    EXPECT_EQ(run.exitCode, 3u) << run.standardOutput << run.standardError;
}

TEST(PackerIdentity, OneOptionWritesARecordWhoseOtherFieldsDeriveFromTheName) {
    ScratchDirectory scratch(L"identity");
    const std::wstring output = scratch / L"Widget.EXE";
    testing_support::writeFile(scratch / L"data.bin", "KAY and any bytes");
    const ProcessResult packed = pack({L"--attached-data", scratch / L"data.bin", L"--output",
                                       output, L"--product-version", L"2.0"});
    ASSERT_EQ(packed.exitCode, 0u) << packed.standardError;
    VersionRecord record(output);
    EXPECT_EQ(record.text(L"InternalName"), L"Widget");
    EXPECT_EQ(record.text(L"OriginalFilename"), L"Widget.exe");
    EXPECT_EQ(record.text(L"ProductName"), L"Widget");
    EXPECT_EQ(record.text(L"FileDescription"), L"Widget");
    EXPECT_EQ(record.text(L"FileVersion"), L"2.0");
    EXPECT_EQ(record.text(L"ProductVersion"), L"2.0");
    EXPECT_EQ(record.text(L"CompanyName"), L"<missing>");
    EXPECT_EQ(record.text(L"LegalCopyright"), L"<missing>");
    EXPECT_EQ(record.fixed().dwFileVersionMS, 2u << 16);
}

TEST(PackerIdentity, AnUnusableLauncherOrIconIsNamedWithWhatIsWrong) {
    ScratchDirectory scratch(L"identity");
    const std::string launcher = testing_support::readFile(kLauncher);
    testing_support::writeFile(scratch / L"cut.exe", launcher.substr(0, 0x100));
    testing_support::writeFile(scratch / L"text.exe", "not an executable");
    testing_support::writeFile(scratch / L"cut.ico", iconFile(testImages()).substr(0, 400));
    const std::wstring output = scratch / L"out.exe";
    const struct {
        std::vector<std::wstring> options;
        std::string message;
    } cases[] = {
        {{L"--launcher", scratch / L"cut.exe"},
         "onefile-pack: cannot use '" + narrow(scratch / L"cut.exe") +
             "' as the launcher: it is cut short inside its optional header\n"},
        {{L"--launcher", scratch / L"text.exe"},
         "as the launcher: it is not a Windows executable (no 'MZ' at its start)\n"},
        {{L"--icon", scratch / L"cut.ico"},
         "onefile-pack: cannot use '" + narrow(scratch / L"cut.ico") +
             "' as the icon: image 1 lies outside the file\n"},
    };
    for (const auto& check : cases) {
        std::vector<std::wstring> arguments = {L"--main", L"main.dll", L"--output", output};
        arguments.insert(arguments.end(), check.options.begin(), check.options.end());
        arguments.push_back(kSample);
        const ProcessResult result = pack(arguments);
        EXPECT_EQ(result.exitCode, 1u) << check.message;
        EXPECT_THAT(result.standardError, HasSubstr(check.message));
        EXPECT_EQ(testing_support::listFiles(scratch.path()).size(), 3u) << "no output left";
    }
}

} // namespace
