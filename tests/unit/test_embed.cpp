// Packaged executables as the packer's own executable writer makes them,
// read back through the Windows API under Wine: the attached data, every
// resource of the launcher, the section layout and the checksum.
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>

#include "tests/support/files.h"
#include "tests/support/packaging.h"
#include "tests/support/process.h"
#include "tools/packer/packing.h"
#include "tools/packer/partial_output.h"
#include "tools/packer/pe_image.h"
#include "tools/packer/platform.h"

namespace {

using testing_support::binaryDirectory;
using testing_support::fileExists;
using testing_support::makePackagedExecutableFromAttachedData;
using testing_support::narrow;
using testing_support::ScratchDirectory;

const std::wstring kLauncher = binaryDirectory() + L"\\Corvellinth.exe";

// (type, name, language) -> bytes; numeric keys only, as the launcher has.
using ResourceMap = std::map<std::tuple<WORD, WORD, WORD>, std::string>;

struct Enumeration {
    HMODULE module;
    ResourceMap* found;
    WORD type = 0;
    WORD name = 0;
};

BOOL CALLBACK addLanguage(HMODULE module, LPCWSTR, LPCWSTR, WORD language, LONG_PTR context) {
    auto* walk = reinterpret_cast<Enumeration*>(context);
    const HRSRC resource = FindResourceExW(module, MAKEINTRESOURCEW(walk->type),
                                           MAKEINTRESOURCEW(walk->name), language);
    const void* bytes = LockResource(LoadResource(module, resource));
    (*walk->found)[{walk->type, walk->name, language}] =
        std::string(static_cast<const char*>(bytes), SizeofResource(module, resource));
    return TRUE;
}

BOOL CALLBACK addName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context) {
    auto* walk = reinterpret_cast<Enumeration*>(context);
    walk->name = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
    return EnumResourceLanguagesW(module, type, name, addLanguage, context);
}

BOOL CALLBACK addType(HMODULE module, LPWSTR type, LONG_PTR context) {
    auto* walk = reinterpret_cast<Enumeration*>(context);
    walk->type = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(type));
    return EnumResourceNamesW(module, type, addName, context);
}

ResourceMap resourcesOf(const std::wstring& executable) {
    ResourceMap found;
    const HMODULE module = LoadLibraryExW(
        executable.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    EXPECT_NE(module, nullptr) << GetLastError();
    Enumeration walk{module, &found};
    EnumResourceTypesW(module, addType, reinterpret_cast<LONG_PTR>(&walk));
    FreeLibrary(module);
    return found;
}

std::string someData(std::size_t size) {
    return "KAY" + testing_support::pseudoRandomBytes(size, 17);
}

TEST(EmbedAttachedData, ReadsBackThroughTheWindowsApiWithEveryLauncherResource) {
    ScratchDirectory scratch(L"embed");
    const std::string data = someData(300000);
    const std::wstring output = makePackagedExecutableFromAttachedData(scratch / L"out.exe", data);

    ResourceMap expected = resourcesOf(kLauncher);
    ASSERT_GE(expected.size(), 4u) << "icon, group, version record, manifest";
    expected[{10, 27, 0}] = data;
    EXPECT_TRUE(resourcesOf(output) == expected);
    EXPECT_EQ(testing_support::attachedDataOf(output), data);
}

// Wine maps a section from the file only at a page-aligned offset, else it
// copies the attached data into private memory at every start.
TEST(EmbedAttachedData, PutsTheResourcesLastOnAPageBoundaryWithTheRightChecksum) {
    ScratchDirectory scratch(L"embed");
    const std::wstring output =
        makePackagedExecutableFromAttachedData(scratch / L"out.exe", someData(123457));
    const packer::InputFile file(narrow(output));
    const packer::PeImage image = packer::readPeImage(file);
    ASSERT_EQ(image.resourceSection, image.sections.size() - 1);
    const packer::SectionHeader& resources = image.sections.back();
    EXPECT_EQ(resources.name(), ".rsrc");
    EXPECT_EQ(resources.rawOffset % packer::kPageSize, 0u);
    EXPECT_EQ(std::uint64_t{resources.rawOffset} + resources.rawSize, file.size());

    DWORD stored = 0;
    DWORD computed = 0;
    ASSERT_EQ(MapFileAndCheckSumW(output.c_str(), &stored, &computed), CHECKSUM_SUCCESS);
    EXPECT_EQ(stored, computed);
}

// An output given as the launcher: its resource section is last already,
// and its attached data is replaced, not added to.
TEST(EmbedAttachedData, APackagedExecutableAsLauncherGetsItsDataReplaced) {
    ScratchDirectory scratch(L"embed");
    const std::wstring first =
        makePackagedExecutableFromAttachedData(scratch / L"first.exe", someData(5000));
    const std::string data = someData(7000);
    const std::wstring second =
        makePackagedExecutableFromAttachedData(scratch / L"second.exe", data, first);
    ResourceMap expected = resourcesOf(kLauncher);
    expected[{10, 27, 0}] = data;
    EXPECT_TRUE(resourcesOf(second) == expected);
    // Grown by the difference in data, not by the new data as a whole.
    EXPECT_LT(testing_support::readFile(second).size(),
              testing_support::readFile(first).size() + data.size());
}

// Named types and names sort before numbered ones and by code unit, which
// the loader's search relies on.
TEST(EmbedAttachedData, TheLoaderFindsNamedResourcesInTheTreeItWrites) {
    ScratchDirectory scratch(L"embed");
    using packer::ResourceKey;
    const auto named = [](const char16_t* text) { return ResourceKey{true, 0, text}; };
    const packer::Launcher launcher(narrow(kLauncher));
    std::vector<packer::ResourceItem> resources =
        packer::editResources(launcher.file, launcher.image, {});
    resources.push_back({named(u"ZETA"), named(u"HELLO"), ResourceKey::number(0x409), 0, "zh"});
    resources.push_back({named(u"ALPHA"), ResourceKey::number(7), ResourceKey::number(0), 0, "a7"});
    resources.push_back({named(u"ALPHA"), named(u"B"), ResourceKey::number(0), 0, "ab"});
    resources.push_back({ResourceKey::number(10), named(u"A"), ResourceKey::number(0), 0, "10a"});
    const std::wstring output = scratch / L"named.exe";
    {
        packer::PartialOutput file(narrow(output), narrow(output), true);
        packer::PackagedExecutableWriter writer(launcher.file, launcher.image, resources,
                                                file.file());
        writer.addAttachedData("KAY", 3);
        writer.finish();
        file.commit();
    }
    const HMODULE module = LoadLibraryExW(output.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(testing_support::resourceBytes(module, L"ZETA", L"HELLO"), "zh");
    EXPECT_EQ(testing_support::resourceBytes(module, L"ALPHA", MAKEINTRESOURCEW(7)), "a7");
    EXPECT_EQ(testing_support::resourceBytes(module, L"ALPHA", L"B"), "ab");
    EXPECT_EQ(testing_support::resourceBytes(module, MAKEINTRESOURCEW(10), L"A"), "10a");
    EXPECT_EQ(testing_support::resourceBytes(module, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(27)),
              "KAY");
    FreeLibrary(module);
}

TEST(EmbedAttachedData, EmptyDataOrAMissingLauncherIsRefusedAndLeavesNoOutput) {
    ScratchDirectory scratch(L"embed");
    try {
        makePackagedExecutableFromAttachedData(scratch / L"out.exe", "");
        ADD_FAILURE() << "empty attached data was embedded";
    } catch (const std::runtime_error& failure) {
        EXPECT_NE(std::string(failure.what()).find("the attached data is empty"),
                  std::string::npos);
    }
    EXPECT_THROW(
        makePackagedExecutableFromAttachedData(scratch / L"out.exe", "KAY", scratch / L"none.exe"),
        std::runtime_error);
    EXPECT_TRUE(testing_support::listFiles(scratch.path()).empty());
}

} // namespace
