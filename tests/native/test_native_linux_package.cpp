// Linux packages on the packer's side: the executable-entries record that
// the launcher parses, the ELF reader's refusals of damaged launchers, the
// writer's layout, and onefile-pack --linux end to end, checked with the
// system's own ELF tools (readelf, objcopy, strip) as well as ours.
#include <sys/stat.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "payload/cache_record.h"
#include "payload/exec_modes.h"
#include "payload/format.h"
#include "tests/native/support/elf_builder.h"
#include "tools/packer/attached_writer.h"
#include "tools/packer/elf_image.h"
#include "tools/packer/linux_package.h"
#include "tools/packer/pack_error.h"

namespace {

namespace fs = std::filesystem;
using native_support::setElfField;
using testing::HasSubstr;

bool parses(const std::string& bytes, exec_modes::Record* record = nullptr) {
    exec_modes::Record parsed{};
    const bool ok = exec_modes::parseRecord(reinterpret_cast<const unsigned char*>(bytes.data()),
                                            bytes.size(), &parsed);
    if (record != nullptr) {
        *record = parsed;
    }
    return ok;
}

TEST(ExecModes, ARecordGivesBackItsIndicesAndFindsExactlyThem) {
    exec_modes::Record record{};
    const std::string three = packer::executableEntriesRecord({0, 3, 9});
    ASSERT_TRUE(parses(three, &record));
    EXPECT_EQ(record.count, 3u);
    for (std::uint32_t entry = 0; entry < 12; ++entry) {
        EXPECT_EQ(exec_modes::isExecutable(record, entry), entry == 0 || entry == 3 || entry == 9)
            << entry;
    }
    EXPECT_TRUE(exec_modes::fitsEntries(record, 10));
    EXPECT_FALSE(exec_modes::fitsEntries(record, 9)) << "index 9 of 9 entries";

    const std::string none = packer::executableEntriesRecord({});
    ASSERT_TRUE(parses(none, &record));
    EXPECT_EQ(record.count, 0u);
    EXPECT_FALSE(exec_modes::isExecutable(record, 0));
    EXPECT_TRUE(exec_modes::fitsEntries(record, 0));
    EXPECT_THROW(packer::executableEntriesRecord({2, 2}), std::invalid_argument);
}

TEST(ExecModes, EveryDamagedFormIsRefused) {
    const std::string good = packer::executableEntriesRecord({1, 5});
    const auto changed = [&good](std::size_t at, char byte) {
        std::string bytes = good;
        bytes[at] = byte;
        return bytes;
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"magic", changed(3, 'C')},
        {"version", changed(4, 2)},
        {"reserved field", changed(7, 1)},
        {"count above the indices", changed(8, 3)},
        {"count below the indices", changed(8, 1)},
        {"a count of 2^32 - 1 over two indices", changed(8, '\xFF').replace(9, 3, "\xFF\xFF\xFF")},
        {"a cut index", good.substr(0, good.size() - 1)},
        {"a byte after the indices", good + '\0'},
        {"descending indices", std::string("KAYM\1\0\0\0\2\0\0\0\5\0\0\0\1\0\0\0", 20)},
        {"a repeated index", std::string("KAYM\1\0\0\0\2\0\0\0\5\0\0\0\5\0\0\0", 20)},
        {"a header cut short", good.substr(0, exec_modes::kFixedSize - 1)},
    };
    for (const auto& [what, bytes] : cases) {
        EXPECT_FALSE(parses(bytes)) << what;
    }
    EXPECT_TRUE(parses(std::string("KAYM\1\0\0\0\2\0\0\0\5\0\0\0\6\0\0\0", 20)));
    EXPECT_FALSE(exec_modes::parseRecord(nullptr, 0, nullptr));
}

std::string sampleLauncher() {
    native_support::ElfSpec spec;
    spec.sections = {{".text", "\xC3 code"}, {".bss", "", 8, 3}, {".comment", "built", 1, 0}};
    return native_support::buildElf(spec);
}

std::string refusalOf(const std::string& bytes) {
    try {
        packer::readElfImage(packer::MemorySource(bytes));
    } catch (const packer::PackError& failure) {
        return failure.message();
    }
    return "(taken)";
}

TEST(ElfImage, ReadsTheSectionsAndRefusesEveryDamagedLauncher) {
    const std::string launcher = sampleLauncher();
    const packer::ElfImage image = packer::readElfImage(packer::MemorySource(launcher));
    std::vector<std::string> names;
    for (const packer::ElfSection& section : image.sections) {
        names.push_back(section.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"", ".text", ".bss", ".comment", ".shstrtab"}));
    EXPECT_EQ(image.nameTableIndex, 4);

    const std::uint64_t table = native_support::elfSectionTable(launcher);
    const auto with = [&launcher](std::size_t at, std::size_t size, std::uint64_t value) {
        std::string bytes = launcher;
        setElfField(bytes, at, size, value);
        return bytes;
    };
    const auto section = [table](std::size_t index, std::size_t field) {
        return static_cast<std::size_t>(table + 64 * index + field);
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"MZ" + launcher.substr(2), "it is not a Linux program (no ELF header at its start)"},
        {launcher.substr(0, 40), "it is cut short inside its ELF header"},
        {with(4, 1, 1), "it is not a 64-bit ELF file"},
        {with(5, 1, 2), "it is not a little-endian ELF file"},
        {with(16, 2, 1), "it is not an executable (ELF type 1)"},
        {with(native_support::kElfShoffField, 8, 0), "it has no section header table"},
        {with(native_support::kElfShnumField, 2, 0xFF00), "it has 65280 sections (at most 65279)"},
        {with(native_support::kElfShnumField, 2, 6), "its section header table lies outside"},
        {with(native_support::kElfShoffField, 8, ~0ull - 8),
         "its section header table lies outside"},
        {with(58, 2, 40), "its section headers are not of 64 bytes"},
        {with(native_support::kElfShstrndxField, 2, 0), "it has no section-name table (index 0)"},
        {with(native_support::kElfShstrndxField, 2, 0xFFFF), "no section-name table (index 65535)"},
        {with(native_support::kElfShstrndxField, 2, 1), "its section-name table is not a string"},
        {with(section(1, 24), 8, ~0ull - 4), "its section 1 lies outside the file"},
        {with(section(3, 32), 8, launcher.size()), "its section 3 lies outside the file"},
        {with(section(4, 32), 8, 2u << 20), "its section 4 lies outside the file"},
        {with(section(2, 0), 4, 1000), "the name of its section 2 lies outside the section-name"},
    };
    for (const auto& [bytes, message] : cases) {
        EXPECT_THAT(refusalOf(bytes), HasSubstr(message));
    }
    // A section of no bytes may point anywhere.
    EXPECT_EQ(refusalOf(with(section(2, 24), 8, ~0ull)), "(taken)");
}

std::string packageOf(const std::string& launcher, const std::string& attached,
                      const std::optional<std::string>& cacheRecord,
                      const std::string& executable) {
    const packer::MemorySource source(launcher);
    const packer::ElfImage image = packer::readElfImage(source);
    packer::MemoryOutput output;
    packer::LinuxPackageWriter writer(source, image, executable, output);
    writer.addAttachedData(attached.data(), 3);
    writer.addAttachedData(attached.data() + 3, attached.size() - 3);
    if (cacheRecord) {
        writer.setCacheRecord(*cacheRecord);
    }
    writer.finish();
    return output.bytes;
}

std::string writerRefusal(const std::string& launcher, const std::string& attached) {
    try {
        const packer::MemorySource source(launcher);
        const packer::ElfImage image = packer::readElfImage(source);
        packer::MemoryOutput output;
        packer::LinuxPackageWriter writer(source, image, packer::executableEntriesRecord({}),
                                          output);
        writer.addAttachedData(attached.data(), attached.size());
        writer.finish();
    } catch (const packer::PackError& failure) {
        return failure.message();
    }
    return "(written)";
}

TEST(LinuxPackage, AddsUnloadedAlignedSectionsAfterTheUntouchedLauncher) {
    const std::string launcher = sampleLauncher() + "x"; // the next offset is not aligned
    const std::string attached = packer::writeAttachedData({{u"main.so", "code"}}, {1, 1, 21});
    const std::string executable = packer::executableEntriesRecord({0});
    const std::string package = packageOf(launcher, attached, std::string("cache"), executable);

    EXPECT_EQ(package.compare(64, launcher.size() - 64, launcher, 64), 0);
    EXPECT_EQ(native_support::elfField(package, native_support::kElfShstrndxField, 2), 4u);
    EXPECT_EQ(native_support::elfField(package, native_support::kElfShnumField, 2), 8u);
    const std::uint64_t table = native_support::elfSectionTable(package);
    EXPECT_EQ(table % 8, 0u);
    EXPECT_EQ(table + 8 * 64, package.size()) << "the table ends the file";

    const packer::ElfImage image = packer::readElfImage(packer::MemorySource(package));
    const std::vector<std::pair<const char*, std::string>> added = {
        {attached::kSectionName, attached},
        {cache::kSectionName, "cache"},
        {exec_modes::kSectionName, executable}};
    for (std::size_t index = 0; index < added.size(); ++index) {
        const packer::ElfSection& section = image.sections[5 + index];
        const std::string& raw = section.raw;
        EXPECT_EQ(section.name, added[index].first);
        EXPECT_EQ(package.substr(section.offset, section.size), added[index].second);
        EXPECT_EQ(section.offset % 8, 0u) << section.name;
        EXPECT_EQ(native_support::elfField(raw, 4, 4), 1u) << "PROGBITS";
        EXPECT_EQ(native_support::elfField(raw, 8, 8), 0u) << "no flags: not loaded";
        EXPECT_EQ(native_support::elfField(raw, 16, 8), 0u) << "no address";
        EXPECT_EQ(native_support::elfField(raw, 48, 8), 8u) << "aligned to 8";
    }
    EXPECT_GE(image.sections[5].offset, launcher.size());
    EXPECT_EQ(image.sections[4].name, ".shstrtab");
    EXPECT_GT(image.sections[4].offset, launcher.size()) << "a new name table";

    const std::string uncached = packageOf(launcher, attached, std::nullopt, executable);
    const packer::ElfImage plain = packer::readElfImage(packer::MemorySource(uncached));
    EXPECT_FALSE(packer::findElfSection(plain, cache::kSectionName));
    EXPECT_EQ(writerRefusal(uncached, "KAY"),
              "it is a package already (it has a section '.onefile')");
    EXPECT_EQ(writerRefusal(launcher, ""), "the attached data is empty");
}

} // namespace
