// The launcher's resources, read back through the Windows API: icon and its
// group, version record, manifest. And that it carries no attached data.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/files.h"
#include "tests/support/packaging.h"

namespace {

using testing_support::binaryDirectory;

std::wstring launcherPath() {
    return binaryDirectory() + L"\\Corvellinth.exe";
}

class LauncherResources : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryExW(launcherPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr) << GetLastError();
    }
    void TearDown() override { FreeLibrary(module_); }

    std::string resource(int type, int id) {
        const HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(type));
        if (found == nullptr) {
            return {};
        }
        const void* bytes = LockResource(LoadResource(module_, found));
        return std::string(static_cast<const char*>(bytes), SizeofResource(module_, found));
    }

    HMODULE module_ = nullptr;
};

TEST_F(LauncherResources, IconGroupListsSeveralSizesAndIconOneExists) {
    const std::string group = resource(14, 1);
    ASSERT_GE(group.size(), 6u);
    const unsigned count = static_cast<unsigned char>(group[4]);
    EXPECT_GE(count, 3u);
    EXPECT_FALSE(resource(3, 1).empty());
}

TEST_F(LauncherResources, ManifestStatesIdentityLevelLongPathsControlsAndSystems) {
    const std::string manifest = resource(24, 1);
    for (
        const char* expected : {
            R"(<assemblyIdentity name="Mini" version="1.0.0.0" type="win32"/>)",
            R"(level="asInvoker" uiAccess="false")",
            ">true</longPathAware>",
            R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0" processorArchitecture="*")",
            R"(language="*")",
            "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
        }) {
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
    }
}

TEST_F(LauncherResources, CarriesNoAttachedData) {
    EXPECT_TRUE(resource(10, 27).empty());
}

// The console launcher is built from the same resources: the icon, its
// group, the version record and the manifest are byte for byte the same.
TEST_F(LauncherResources, TheConsoleLauncherCarriesTheSameResources) {
    const HMODULE console =
        LoadLibraryExW((binaryDirectory() + L"\\CorvellinthConsole.exe").c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(console, nullptr) << GetLastError();
    for (const auto& [type, id] : {std::pair{3, 1}, std::pair{14, 1}, std::pair{16, 1},
                                   std::pair{24, 1}, std::pair{10, 27}}) {
        EXPECT_TRUE(
            testing_support::resourceBytes(console, static_cast<WORD>(type),
                                           static_cast<WORD>(id)) ==
            testing_support::resourceBytes(module_, static_cast<WORD>(type), static_cast<WORD>(id)))
            << type << "/" << id;
    }
    FreeLibrary(console);
}

std::wstring versionString(const std::vector<char>& record, const wchar_t* name) {
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(record.data(), query.c_str(), reinterpret_cast<void**>(&value), &length)) {
        return L"<missing>";
    }
    return std::wstring(value, length > 0 ? length - 1 : 0);
}

TEST(LauncherVersionRecord, HasTheStatedStringsAndNumbers) {
    const std::wstring path = launcherPath();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<char> record(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, record.data()));

    EXPECT_EQ(versionString(record, L"CompanyName"), L"Corvellinth");
    EXPECT_EQ(versionString(record, L"ProductName"), L"Corvellinth");
    EXPECT_EQ(versionString(record, L"FileDescription"), L"Corvellinth");
    EXPECT_EQ(versionString(record, L"InternalName"), L"Corvellinth");
    EXPECT_EQ(versionString(record, L"OriginalFilename"), L"Corvellinth.exe");
    EXPECT_EQ(versionString(record, L"FileVersion"), L"2026.8.23.2");
    EXPECT_EQ(versionString(record, L"ProductVersion"), L"2026.8.23.2");
    EXPECT_NE(versionString(record, L"LegalCopyright").find(L"Corvellinth"), std::wstring::npos);

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, (2026u << 16) | 8u);
    EXPECT_EQ(fixed->dwFileVersionLS, (23u << 16) | 2u);
    EXPECT_EQ(fixed->dwProductVersionMS, (2026u << 16) | 8u);
    EXPECT_EQ(fixed->dwProductVersionLS, (23u << 16) | 2u);
}

} // namespace
