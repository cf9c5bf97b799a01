// The packer's executable reader and writer under the sanitizers: the real
// launcher (when the Windows build has made it) packaged and read back
// field by field, the layouts the writer handles or refuses, the 4 GiB
// limit, and damaged executables refused with a reason.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>

#include "tests/native/support/pe_builder.h"
#include "tests/native/support/test_bytes.h"
#include "tools/packer/icon_file.h"
#include "tools/packer/packaged_writer.h"
#include "tools/packer/pe_image.h"
#include "tools/packer/resource_edits.h"

namespace {

using namespace packer;
using native_support::buildImage;
using native_support::ImageSpec;
using native_support::SectionSpec;

constexpr std::uint32_t kPage = 0x1000;

std::string readWholeFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

using ResourceMap = std::map<std::tuple<ResourceKey, ResourceKey, ResourceKey>, std::string>;

ResourceMap resourcesOf(const std::string& executable) {
    const MemorySource source(executable);
    ResourceMap found;
    for (const ResourceEntry& entry : readPeImage(source).resources) {
        found[{entry.type, entry.name, entry.language}] =
            source.bytes(entry.fileOffset, entry.size);
    }
    return found;
}

std::string packageOf(const std::string& launcher, const std::string& attached,
                      const ResourceEdits& edits = {}) {
    const MemorySource source(launcher);
    const PeImage image = readPeImage(source);
    MemoryOutput output;
    PackagedExecutableWriter writer(source, image, editResources(source, image, edits), output);
    writer.addAttachedData(attached.data(), attached.size());
    writer.finish();
    return output.bytes;
}

std::uint32_t field(const std::string& executable, const PeImage& image, std::uint32_t offset) {
    return loadU32(executable, image.optionalOffset + offset);
}

std::string messageOf(const std::function<void()>& step) {
    try {
        step();
    } catch (const PackError& failure) {
        return failure.message();
    }
    return "(no failure)";
}

// What every package must be: sections in order, the new resource section
// last on a page boundary and ending the file, the image size and the
// checksum right, the attached data where the tree says.
void expectSoundPackage(const std::string& package, const std::string& attached) {
    const MemorySource source(package);
    const PeImage image = readPeImage(source);
    ASSERT_EQ(image.resourceSection, image.sections.size() - 1);
    const SectionHeader& last = image.sections.back();
    EXPECT_EQ(last.name(), ".rsrc");
    EXPECT_EQ(last.rawOffset % kPage, 0u);
    EXPECT_EQ(std::uint64_t{last.rawOffset} + last.rawSize, package.size());
    EXPECT_EQ(field(package, image, kFieldSizeOfImage),
              (last.virtualAddress + last.virtualSize + kPage - 1) / kPage * kPage);
    EXPECT_EQ(field(package, image, kFieldCheckSum), native_support::plainChecksum(package));
    const ResourceMap resources = resourcesOf(package);
    const auto found =
        resources.find({ResourceKey::number(10), ResourceKey::number(27), ResourceKey::number(0)});
    ASSERT_NE(found, resources.end());
    EXPECT_TRUE(found->second == attached);
}

class RealLauncher : public ::testing::Test {
  protected:
    void SetUp() override {
        launcher_ = readWholeFile(CORVELLINTH_WINDOWS_LAUNCHER);
        if (launcher_.empty()) {
            GTEST_SKIP() << "no " << CORVELLINTH_WINDOWS_LAUNCHER << ": build the windows preset";
        }
    }
    std::string launcher_;
};

TEST_F(RealLauncher, KeepsEverySectionAndResourceAndMovesTheRelocations) {
    const std::string attached = "KAY" + native_support::pseudoRandomBytes(100000, 3);
    const std::string package = packageOf(launcher_, attached);
    expectSoundPackage(package, attached);

    const MemorySource before(launcher_);
    const MemorySource after(package);
    const PeImage old = readPeImage(before);
    const PeImage now = readPeImage(after);
    ASSERT_TRUE(old.resourceSection && old.relocationSection);
    ASSERT_EQ(*old.relocationSection, *old.resourceSection + 1) << "the launcher's usual layout";
    ASSERT_EQ(now.sections.size(), old.sections.size());
    for (std::size_t index = 0; index < *old.resourceSection; ++index) {
        EXPECT_EQ(now.sections[index].raw, old.sections[index].raw) << index;
        EXPECT_EQ(after.bytes(now.sections[index].rawOffset, now.sections[index].rawSize),
                  before.bytes(old.sections[index].rawOffset, old.sections[index].rawSize));
    }
    const SectionHeader& oldRelocations = old.sections[*old.relocationSection];
    const SectionHeader& relocations = now.sections[*old.resourceSection];
    EXPECT_EQ(relocations.name(), ".reloc");
    EXPECT_EQ(relocations.virtualAddress, old.sections[*old.resourceSection].virtualAddress);
    EXPECT_EQ(now.directories[kDirectoryRelocation].address, relocations.virtualAddress);
    EXPECT_EQ(now.directories[kDirectoryRelocation].size,
              old.directories[kDirectoryRelocation].size);
    EXPECT_EQ(after.bytes(relocations.rawOffset, relocations.rawSize),
              before.bytes(oldRelocations.rawOffset, oldRelocations.rawSize));

    ResourceMap expected = resourcesOf(launcher_);
    expected[{ResourceKey::number(10), ResourceKey::number(27), ResourceKey::number(0)}] = attached;
    EXPECT_TRUE(resourcesOf(package) == expected);
}

// The reader against the files the launcher's resources were made from.
TEST_F(RealLauncher, ReadsTheManifestAndIconsAsTheResourceCompilerStoredThem) {
    const ResourceMap resources = resourcesOf(launcher_);
    const std::string manifest =
        readWholeFile(CORVELLINTH_SOURCE_ROOT "/resources/launcher.manifest");
    const std::string icon = readWholeFile(CORVELLINTH_SOURCE_ROOT "/resources/corvellinth.ico");
    std::map<std::uint16_t, std::string> icons;
    for (const auto& [key, bytes] : resources) {
        if (std::get<0>(key) == ResourceKey::number(24)) {
            EXPECT_EQ(bytes, manifest);
        }
        if (std::get<0>(key) == ResourceKey::number(3)) {
            icons[std::get<1>(key).id] = bytes;
        }
    }
    const std::vector<IconImage> images = readIconFile(MemorySource(icon));
    ASSERT_EQ(icons.size(), images.size());
    std::uint16_t id = 1;
    for (const IconImage& image : images) {
        EXPECT_TRUE(icons[id++] == image.data);
    }
}

SectionSpec text() {
    return {".text", std::string(300, '\xC3')};
}

SectionSpec relocations() {
    return {".reloc", std::string("\x00\x10\x00\x00\x0C\x00\x00\x00\x10\xA0\x00\x00", 12), 0,
            0x42000040};
}

ImageSpec withResources(std::vector<SectionSpec> sections, std::size_t resourceIndex) {
    ImageSpec spec;
    spec.sections = std::move(sections);
    spec.resourceSection = static_cast<int>(resourceIndex);
    spec.sections[resourceIndex] = {
        ".rsrc", native_support::oneResourceTree(sectionAddress(spec, resourceIndex), 10, 5, 0x409,
                                                 "hello")};
    return spec;
}

TEST(PackagedWriter, HandlesEachLayoutThatLetsTheSectionBeAdded) {
    const std::string attached = "KAY attached";
    const ResourceMap carried = {
        {{ResourceKey::number(10), ResourceKey::number(5), ResourceKey::number(0x409)}, "hello"}};

    ImageSpec plain;
    plain.sections = {text()};
    expectSoundPackage(packageOf(buildImage(plain), attached), attached);

    ImageSpec last = withResources({text(), {}}, 1);
    const std::string replaced = packageOf(buildImage(last), attached);
    expectSoundPackage(replaced, attached);
    EXPECT_EQ(resourcesOf(replaced).count(carried.begin()->first), 1u);
    EXPECT_EQ(readPeImage(MemorySource(replaced)).sections.size(), 2u);

    ImageSpec moved = withResources({text(), {}, relocations()}, 1);
    moved.relocationSection = 2;
    const std::string package = packageOf(buildImage(moved), attached);
    expectSoundPackage(package, attached);
    const PeImage image = readPeImage(MemorySource(package));
    EXPECT_EQ(image.sections[1].name(), ".reloc");
    EXPECT_EQ(image.directories[kDirectoryRelocation].address, sectionAddress(moved, 1));
    EXPECT_EQ(resourcesOf(package).at(carried.begin()->first), "hello");
}

TEST(PackagedWriter, RefusesLayoutsItCannotExtend) {
    ImageSpec followed = withResources({text(), {}, {".data", "d"}}, 1);
    EXPECT_EQ(messageOf([&] { packageOf(buildImage(followed), "KAY"); }),
              "the launcher's resource section is followed by section '.data', which cannot be "
              "moved");

    // Room for three section headers, and three are there already.
    ImageSpec tight;
    tight.sizeOfHeaders = 0x200;
    tight.sections = {text(), {".a", "a"}, {".b", "b"}};
    EXPECT_EQ(messageOf([&] { packageOf(buildImage(tight), "KAY"); }),
              "the launcher's headers have no room for another section");
}

// Addresses have 32 bits: a launcher ending just below 4 GiB leaves room for
// little attached data, and the writer stops at exactly that much.
TEST(PackagedWriter, StopsAtTheLastByteAnImageCanAddress) {
    ImageSpec high;
    high.firstAddress = 0xFFFE0000;
    high.sections = {text()};
    const std::string launcher = buildImage(high);
    const MemorySource source(launcher);
    const PeImage image = readPeImage(source);
    MemoryOutput output;
    PackagedExecutableWriter writer(source, image, {}, output);
    const std::uint64_t limit = writer.attachedLimit();
    ASSERT_GT(limit, 0u);
    ASSERT_LT(limit, 0x20000u);
    const std::string data(static_cast<std::size_t>(limit), 'x');
    writer.addAttachedData(data.data(), data.size());
    EXPECT_EQ(messageOf([&] { writer.addAttachedData("y", 1); }),
              "the attached data does not fit in an executable: it may have at most " +
                  std::to_string(limit) + " bytes");
    writer.finish();
    const PeImage packaged = readPeImage(MemorySource(output.bytes));
    EXPECT_EQ(field(output.bytes, packaged, kFieldSizeOfImage), 0xFFFFF000u);
}

// Fuzz findings: an empty section still takes its address, so the new
// section cannot start at the same one; a section name is bytes, and a line
// break in it must not split the message.
TEST(PackagedWriter, NeitherAnEmptySectionNorAStrangeNameConfusesIt) {
    ImageSpec empty;
    empty.sections = {{".bss", "", 0, 0xC0000080}};
    expectSoundPackage(packageOf(buildImage(empty), "KAY"), "KAY");

    ImageSpec strange = withResources({text(), {}, {"a\nb", "x"}}, 1);
    EXPECT_EQ(messageOf([&] { packageOf(buildImage(strange), "KAY"); }),
              "the launcher's resource section is followed by section 'a?b', which cannot be "
              "moved");
}

TEST(PeReader, RefusesDamagedExecutablesWithAReason) {
    const std::string good = buildImage(withResources({text(), {}}, 1));
    const auto refusal = [](std::string bytes) {
        return messageOf([&] { readPeImage(MemorySource(bytes)); });
    };
    const auto edited = [&good](std::size_t at, std::uint32_t value) {
        std::string bytes = good;
        storeU32(bytes, at, value);
        return bytes;
    };
    EXPECT_EQ(refusal(good), "(no failure)");
    EXPECT_EQ(refusal("MZ"), "it is cut short inside its DOS header");
    EXPECT_EQ(refusal("ZM" + good.substr(2)),
              "it is not a Windows executable (no 'MZ' at its start)");
    for (const std::uint32_t offset : {0x80000000u, 0xFFFFFFFCu, 0x7FFFFFFFu}) {
        EXPECT_EQ(refusal(edited(0x3C, offset)), "it is cut short inside its PE header") << offset;
    }
    const std::size_t optional = native_support::kBuilderPeOffset + 24;
    EXPECT_EQ(refusal(edited(optional, 0x10B)), "it is not a 64-bit Windows executable (PE32+)");
    EXPECT_EQ(refusal(edited(native_support::kBuilderPeOffset + 4, 0x8664 | (97u << 16))),
              "it has 97 sections (1 to 96 are allowed)");
    // A 64-bit header does not make an x86-64 program.
    for (const std::uint32_t machine : {0x014Cu, 0xAA64u, 0u}) {
        EXPECT_EQ(refusal(edited(native_support::kBuilderPeOffset + 4, machine | (2u << 16))),
                  "it is a program for another processor (machine 0x" +
                      std::string(machine == 0x014C   ? "014C"
                                  : machine == 0xAA64 ? "AA64"
                                                      : "0000") +
                      "), not for x86-64");
    }
    EXPECT_EQ(refusal(edited(native_support::kBuilderSectionTable + 40 + 20, 0xFFFFFF00)),
              "section 2 ('.rsrc') lies outside the file");
    EXPECT_EQ(refusal(edited(optional + 36, 0x300)),
              "its file alignment 768 is not a power of two from 512 to 65536");
    // Every cut inside the headers and the tree is refused, never read past.
    for (std::size_t length = 0; length < 0x400 + 100; ++length) {
        EXPECT_NE(refusal(good.substr(0, length)), "(no failure)") << length;
    }
}

// What --sign-command signs: anything whose 'MZ' header leads to "PE\0\0",
// whatever its processor or form.
TEST(PeReader, TellsWindowsProgramsOfAnyKindFromOtherFiles) {
    std::string program = buildImage(withResources({text(), {}}, 1));
    EXPECT_TRUE(isPeImage(MemorySource(program)));
    storeU16(program, native_support::kBuilderPeOffset + 4, 0x014C);
    storeU16(program, native_support::kBuilderPeOffset + 24, 0x10B);
    EXPECT_TRUE(isPeImage(MemorySource(program)));

    std::string stub(64, '\0');
    stub.replace(0, 2, "MZ");
    EXPECT_FALSE(isPeImage(MemorySource(stub))) << "e_lfanew 0 leads to 'MZ'";
    storeU32(stub, 0x3C, 64);
    EXPECT_FALSE(isPeImage(MemorySource(stub))) << "e_lfanew past the end";
    EXPECT_TRUE(isPeImage(MemorySource(stub + std::string("PE\0\0", 4))));
    EXPECT_FALSE(isPeImage(MemorySource(stub + std::string("PE\0", 3))));
    EXPECT_FALSE(isPeImage(MemorySource(stub + std::string("NE\0\0", 4))));
    EXPECT_FALSE(isPeImage(MemorySource(std::string("MZ") + std::string(40, 'x'))));
}

TEST(PeReader, RefusesResourceTreesThatPointAstray) {
    ImageSpec spec = withResources({text(), {}}, 1);
    const std::string good = spec.sections[1].data;
    const auto refusal = [&spec](const std::string& tree) {
        spec.sections[1].data = tree;
        return messageOf([&] { readPeImage(MemorySource(buildImage(spec))); });
    };
    std::string loop = good;
    storeU32(loop, 16 + 4, 0x80000000u); // the type entry points back at the root
    EXPECT_EQ(refusal(loop),
              "the resource tree is damaged: a language entry points at a directory instead of "
              "data");
    std::string many = good;
    storeU16(many, 12, 0xFFFF); // more entries than the section holds
    EXPECT_EQ(refusal(many),
              "the resource tree is damaged: the resource section is too short for the entries of "
              "the directory at offset 0");
    std::string astray = good;
    storeU32(astray, 72, 0x7FFF0000); // the data's address
    EXPECT_EQ(refusal(astray),
              "the resource tree is damaged: the data of resource 10/5/1033 lies outside the file");
    std::string early = good;
    storeU32(early, 20, 72); // the type entry points at the data entry
    EXPECT_EQ(refusal(early),
              "the resource tree is damaged: an entry of level 1 points at data instead of a "
              "directory");
}

} // namespace
