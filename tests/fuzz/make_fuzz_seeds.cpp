// Writes the seed corpora of the fuzz targets, made with the packer's own
// attached-data writer and the test executable builder: make_fuzz_seeds DIR
// fills DIR/attached_data, DIR/entry_stream, DIR/entry_listing,
// DIR/quoting, DIR/wide_text, DIR/pe_image, DIR/icon_file,
// DIR/cache_record, DIR/run_name, DIR/exec_modes and DIR/elf_image (the
// folders must exist).
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/native/support/elf_builder.h"
#include "tests/native/support/pe_builder.h"
#include "tests/native/support/test_bytes.h"
#include "tools/packer/attached_writer.h"
#include "tools/packer/cache_package.h"
#include "tools/packer/linux_package.h"

namespace {

constexpr packer::WriterOptions kSeedOptions{3, 1, 21};

void writeSeed(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

std::vector<std::vector<packer::Entry>> seedPackages() {
    return {{},
            {{u"main.dll", "MZ tiny"}},
            {{u"main.dll", native_support::pseudoRandomBytes(600, 1)},
             {u"empty", ""},
             {u"a\\b\\c.txt", "abc"}},
            {{std::u16string(1023, u'n'), "longest name"}},
            {{u"x", std::string(3000, 'x')}, {u"x", "again"}, {u"d/e.txt", "slash"}}};
}

// Executables in the layouts the packer meets: plain, resources last,
// resources followed by relocations.
std::vector<std::string> seedImages() {
    using native_support::SectionSpec;
    const SectionSpec code{".text", "\xC3 code", 0, 0x60000020};
    const SectionSpec relocations{".reloc", std::string("\0\x10\0\0\x0A\0\0\0\x10\xA0", 10)};
    std::vector<std::string> images;
    native_support::ImageSpec spec;
    spec.sections = {code};
    images.push_back(native_support::buildImage(spec));
    spec.sections = {code, {}, relocations};
    spec.resourceSection = 1;
    spec.relocationSection = 2;
    spec.sections[1] = {".rsrc", native_support::oneResourceTree(
                                     native_support::sectionAddress(spec, 1), 16, 1, 0x409, "v")};
    images.push_back(native_support::buildImage(spec));
    spec.sections.pop_back();
    spec.relocationSection = -1;
    images.push_back(native_support::buildImage(spec));
    return images;
}

// Linux launchers: a plain one, one with a section of no bytes, and a
// package (which the writer must refuse).
std::vector<std::string> seedElfFiles() {
    native_support::ElfSpec spec;
    spec.sections = {{".text", "\xC3 code"}, {".data", "data"}};
    std::vector<std::string> files = {native_support::buildElf(spec)};
    spec.sections.push_back({".bss", "", 8, 3});
    files.push_back(native_support::buildElf(spec));
    spec.sections.push_back({".onefile", "KAY", 1, 0});
    files.push_back(native_support::buildElf(spec));
    return files;
}

std::string littleEndian(std::uint32_t value, int bytes) {
    std::string out;
    for (int index = 0; index < bytes; ++index) {
        out.push_back(static_cast<char>((value >> (8 * index)) & 0xFF));
    }
    return out;
}

// Icon files with one PNG image, and with a PNG and a bitmap.
std::vector<std::string> seedIcons() {
    const std::string png = "\x89PNG\r\n\x1a\n" + native_support::pseudoRandomBytes(40, 2);
    const std::string bitmap = littleEndian(40, 4) + std::string(60, '\x11');
    std::vector<std::string> icons;
    for (const auto& images :
         {std::vector<std::string>{png}, std::vector<std::string>{png, bitmap}}) {
        std::string file = littleEndian(0, 2) + littleEndian(1, 2) +
                           littleEndian(static_cast<std::uint32_t>(images.size()), 2);
        auto offset = static_cast<std::uint32_t>(6 + 16 * images.size());
        for (const std::string& image : images) {
            file += std::string("\x20\x20\0\0", 4) + littleEndian(1, 2) + littleEndian(32, 2) +
                    littleEndian(static_cast<std::uint32_t>(image.size()), 4) +
                    littleEndian(offset, 4);
            offset += static_cast<std::uint32_t>(image.size());
        }
        for (const std::string& image : images) {
            file += image;
        }
        icons.push_back(file);
    }
    return icons;
}

std::string utf16(const std::u16string& text) {
    std::string bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
        return 2;
    }
    const std::string root = argv[1];
    int index = 0;
    for (const auto& entries : seedPackages()) {
        const std::string name = std::to_string(index++);
        writeSeed(root + "/attached_data/" + name,
                  packer::writeAttachedData(entries, kSeedOptions));
        writeSeed(root + "/entry_stream/" + name, packer::encodeEntryStream(entries));
        writeSeed(root + "/entry_listing/" + name, packer::encodeEntryStream(entries));
    }
    index = 0;
    for (const auto& entries : seedPackages()) {
        if (entries.empty()) {
            continue;
        }
        packer::CacheRecordBuilder record({cache::Root::cacheDirectory, u"Acme\\Tool"});
        for (const packer::Entry& entry : entries) {
            record.addEntry(entry.name, entry.data.size());
        }
        writeSeed(root + "/cache_record/" + std::to_string(index++), record.record());
    }
    index = 0;
    for (const std::string& image : seedImages()) {
        writeSeed(root + "/pe_image/" + std::to_string(index++), image);
    }
    index = 0;
    for (const std::string& elf : seedElfFiles()) {
        writeSeed(root + "/elf_image/" + std::to_string(index++), elf);
    }
    index = 0;
    for (const auto& indices : std::vector<std::vector<std::uint32_t>>{{}, {0}, {1, 2, 40000}}) {
        writeSeed(root + "/exec_modes/" + std::to_string(index++),
                  packer::executableEntriesRecord(indices));
    }
    index = 0;
    for (const std::string& icon : seedIcons()) {
        writeSeed(root + "/icon_file/" + std::to_string(index++), icon);
    }
    // Byte 0 even: roomy buffer; odd: byte 1 is the capacity.
    const std::vector<std::u16string> arguments = {u"plain",
                                                   u"two words",
                                                   u"C:\\dir with blank\\",
                                                   u"say \"hi\"",
                                                   u"\\\\\"",
                                                   u"a\\\\\"b",
                                                   u"\t\n\v",
                                                   std::u16string(u"one\0two three", 13)};
    index = 0;
    for (const std::u16string& argument : arguments) {
        const std::string settings =
            index % 2 == 0 ? std::string(2, '\0') : std::string("\x01\x10");
        writeSeed(root + "/quoting/" + std::to_string(index++), settings + utf16(argument));
    }
    // Capacity less one, then operations: code and argument, units after.
    const std::vector<std::string> wideTextOperations = {
        std::string("\x10\x01\x05hello\x02\x03\x03\x02", 12),
        std::string("\x04\x00\x04"
                    "abcd\x00\x03"
                    "abc\x04\x09xy",
                    16),
        std::string("\x00\x01\x00\x02\x01", 5)};
    index = 0;
    for (const std::string& operations : wideTextOperations) {
        writeSeed(root + "/wide_text/" + std::to_string(index++), operations);
    }
    // Twelve bytes of numbers to format, then a name to parse.
    const std::string numbers("\x2a\x00\x00\x00\x10\x27\x00\x00\x00\x00\x00\x00", 12);
    index = 0;
    for (const std::u16string& name : {std::u16string(u"onefile_1234_134412218815962069"),
                                       std::u16string(u"onefile_0_9223372036854775807"),
                                       std::u16string(u"onefile_2147483648_1")}) {
        writeSeed(root + "/run_name/" + std::to_string(index++), numbers + utf16(name));
    }
    return 0;
}
