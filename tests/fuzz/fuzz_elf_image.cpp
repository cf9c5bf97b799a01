// Arbitrary bytes as a Linux launcher: the ELF reader must refuse them with
// a one-line reason or describe only bytes that are there; and when the
// writer takes them, the package must read back with the launcher's bytes
// and sections unchanged (but for the fields that point at the new tables),
// the three added sections holding exactly what was added, unloaded and
// 8-byte aligned, and must itself be refused as a launcher. The launcher's
// own lookup (payload/elf_sections.h) finds in what the reader takes, the
// input and the package, the very sections the reader finds.
#include <cstddef>
#include <cstdint>
#include <string>

#include <cstring>

#include "payload/cache_record.h"
#include "payload/elf_sections.h"
#include "payload/exec_modes.h"
#include "payload/format.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/packer/elf_image.h"
#include "tools/packer/linux_package.h"

namespace {

using namespace packer;

const std::string kAttached = "KAY attached data of the fuzz target";
const std::string kCacheRecord = "a cache record, taken as it is";

void checkAdded(const std::string& package, const ElfImage& image, const char* name,
                const std::string& expected) {
    const std::optional<ElfSection> section = findElfSection(image, name);
    failWhen(!section, std::string("no section ") + name);
    failWhen(section->offset % kLinuxSectionAlignment != 0, std::string(name) + " not aligned");
    failWhen(loadU64(section->raw, 8) != 0 || loadU64(section->raw, 16) != 0,
             std::string(name) + " is loaded");
    failWhen(package.substr(section->offset, section->size) != expected,
             std::string(name) + " does not hold what was added");
}

bool readMemory(void* context, std::uint64_t offset, void* destination, std::size_t size) {
    const auto* const bytes = static_cast<const std::string*>(context);
    if (offset > bytes->size() || size > bytes->size() - offset) {
        return false;
    }
    std::memcpy(destination, bytes->data() + offset, size);
    return true;
}

void checkLauncherLookup(const std::string& file, const ElfImage& image) {
    const char* const names[] = {attached::kSectionName, cache::kSectionName,
                                 exec_modes::kSectionName};
    constexpr std::size_t kNames = sizeof(names) / sizeof(names[0]);
    elf::Section found[kNames];
    std::string bytes = file;
    failWhen(!elf::findSections({readMemory, &bytes, bytes.size()}, names, kNames, found),
             "the launcher's lookup refuses what the reader takes");
    for (std::size_t index = 0; index < kNames; ++index) {
        const ElfSection* expected = nullptr;
        for (const ElfSection& section : image.sections) {
            if (section.name == names[index] && section.type != kElfNoBits &&
                section.type != kElfNullSection) {
                expected = &section;
                break;
            }
        }
        failWhen(found[index].present != (expected != nullptr) ||
                     (expected != nullptr && (found[index].offset != expected->offset ||
                                              found[index].size != expected->size)),
                 std::string("the launcher's lookup finds another ") + names[index]);
    }
}

void checkPackage(const std::string& launcher, const ElfImage& before, const std::string& package) {
    const MemorySource source(package);
    ElfImage after;
    try {
        after = readElfImage(source);
    } catch (const PackError& failure) {
        failWhen(true, "the package does not read back: " + failure.message());
    }
    std::string header = before.header;
    header.replace(kElfFieldSectionTable, 8, after.header, kElfFieldSectionTable, 8);
    header.replace(kElfFieldSectionCount, 2, after.header, kElfFieldSectionCount, 2);
    failWhen(after.header != header, "the file header changed beyond its table fields");
    failWhen(package.compare(kElfHeaderSize, launcher.size() - kElfHeaderSize, launcher,
                             kElfHeaderSize) != 0,
             "the launcher's bytes changed");
    failWhen(after.sections.size() != before.sections.size() + 3, "not three sections added");
    for (std::size_t index = 0; index < before.sections.size(); ++index) {
        std::string raw = before.sections[index].raw;
        if (index == before.nameTableIndex) {
            raw.replace(kElfSectionFieldOffset, 16, after.sections[index].raw,
                        kElfSectionFieldOffset, 16);
        }
        failWhen(after.sections[index].raw != raw ||
                     after.sections[index].name != before.sections[index].name,
                 "section " + std::to_string(index) + " changed");
    }
    checkLauncherLookup(package, after);
    checkAdded(package, after, attached::kSectionName, kAttached);
    checkAdded(package, after, cache::kSectionName, kCacheRecord);
    checkAdded(package, after, exec_modes::kSectionName, executableEntriesRecord({0, 7}));
    try {
        checkUnpackedLauncher(after);
        failWhen(true, "a package is taken for a launcher");
    } catch (const PackError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const MemorySource source(input);
    try {
        const ElfImage image = readElfImage(source);
        checkLauncherLookup(input, image);
        for (const ElfSection& section : image.sections) {
            failWhen(
                section.type != kElfNoBits && section.type != kElfNullSection &&
                    (section.offset > input.size() || section.size > input.size() - section.offset),
                "a section beyond the input");
        }
        MemoryOutput output;
        LinuxPackageWriter writer(source, image, executableEntriesRecord({0, 7}), output);
        writer.addAttachedData(kAttached.data(), kAttached.size());
        writer.setCacheRecord(kCacheRecord);
        writer.finish();
        checkPackage(input, image, output.bytes);
    } catch (const PackError& failure) {
        failWhenNotOneLine(failure.message());
    }
    return 0;
}
