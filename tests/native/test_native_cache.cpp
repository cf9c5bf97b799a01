// Cached packages on the packer's side and the record the launcher reads:
// what the packer writes is what the parser takes, every damaged form is
// refused, the location template resolves as documented, and the content
// key is a real SHA-256.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "payload/cache_record.h"
#include "tests/native/support/pe_builder.h"
#include "tools/packer/cache_package.h"
#include "tools/packer/command_line.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/pe_image.h"
#include "tools/packer/platform.h"
#include "tools/packer/sha256.h"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

std::string hex(const unsigned char* bytes, std::size_t count) {
    std::string text;
    const char digits[] = "0123456789abcdef";
    for (std::size_t index = 0; index < count; ++index) {
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 0xF];
    }
    return text;
}

std::string sha256(const std::string& bytes, std::size_t piece = 1000) {
    packer::Sha256 digest;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        digest.add(bytes.data() + at, std::min(piece, bytes.size() - at));
    }
    const packer::Sha256::Digest value = digest.finish();
    return hex(value.data(), value.size());
}

std::uint64_t listingHash(cache::EntryKind kind, const std::u16string& name, std::uint64_t size) {
    cache::ListingHash hash = cache::startListingHash(kind);
    for (const char16_t unit : name) {
        cache::addListingUnit(&hash, unit);
    }
    return cache::finishListingHash(hash, size);
}

bool parses(const std::string& bytes, cache::Record* record = nullptr) {
    cache::Record parsed{};
    const bool ok = cache::parseRecord(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), &parsed);
    if (record != nullptr) {
        *record = parsed;
    }
    return ok;
}

std::string sampleRecord(const std::u16string& folder = u"acme\\tool") {
    packer::CacheRecordBuilder builder({cache::Root::temp, folder});
    builder.addEntry(u"main.dll", 5);
    builder.addEntry(u"data\\deep\\b.bin", 0);
    builder.addEntry(u"data\\a.txt", 3);
    builder.addAttachedData("abc", 3);
    return builder.record();
}

TEST(NativeCache, Sha256GivesTheStandardsDigestsWhateverThePieces) {
    EXPECT_EQ(sha256(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256("abc", 1), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 7),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256(std::string(1000000, 'a'), 4093),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Every entry and every folder on the way is listed once, with the size a
// later entry of the same name gives; the key is the digest's start.
TEST(NativeCache, TheParserReadsWhatTheBuilderWrites) {
    packer::CacheRecordBuilder builder({cache::Root::temp, u"acme\\tool"});
    builder.addEntry(u"main.dll", 5);
    builder.addEntry(u"data\\deep\\b.bin", 0);
    builder.addEntry(u"data\\a.txt", 4);
    builder.addEntry(u"data\\a.txt", 3);
    builder.addAttachedData("abc", 3);
    const std::string bytes = builder.record();
    cache::Record record{};
    ASSERT_TRUE(parses(bytes, &record));
    EXPECT_EQ(record.root, cache::Root::temp);
    std::u16string folder;
    for (std::size_t index = 0; index < record.folderUnits; ++index) {
        folder += static_cast<char16_t>(cache::folderUnit(record, index));
    }
    EXPECT_EQ(folder, u"acme\\tool");
    EXPECT_EQ(hex(record.key, cache::kKeySize), "ba7816bf8f01cfea414140de5dae2223");
    char digits[cache::kKeyDigits];
    cache::formatKey(record.key, digits);
    EXPECT_EQ(std::string(digits, cache::kKeyDigits), "ba7816bf8f01cfea414140de5dae2223");
    EXPECT_EQ(record.listed, 5u);
    const std::vector<std::uint64_t> listed = {
        listingHash(cache::EntryKind::file, u"main.dll", 5),
        listingHash(cache::EntryKind::file, u"data\\deep\\b.bin", 0),
        listingHash(cache::EntryKind::file, u"data\\a.txt", 3),
        listingHash(cache::EntryKind::directory, u"data", 0),
        listingHash(cache::EntryKind::directory, u"data\\deep", 0)};
    for (const std::uint64_t hash : listed) {
        EXPECT_GE(cache::findListed(record, hash), 0);
    }
    for (const std::uint64_t hash : {listingHash(cache::EntryKind::file, u"data\\a.txt", 4),
                                     listingHash(cache::EntryKind::file, u"data", 0),
                                     listingHash(cache::EntryKind::file, u"DATA\\a.txt", 3)}) {
        EXPECT_EQ(cache::findListed(record, hash), -1);
    }
}

TEST(NativeCache, TheParserRefusesEveryDamagedRecord) {
    const std::string good = sampleRecord();
    ASSERT_TRUE(parses(good));
    const std::size_t count = 26 + 2 * 9; // after the folder "acme\tool"
    const auto changed = [&](std::size_t at, char value) {
        std::string bytes = good;
        bytes[at] = value;
        return bytes;
    };
    std::string unsorted = good;
    std::swap_ranges(unsorted.begin() + count + 4, unsorted.begin() + count + 12,
                     unsorted.begin() + count + 12);
    std::string repeated = good;
    repeated.replace(count + 12, 8, good, count + 4, 8);
    const std::vector<std::pair<const char*, std::string>> damaged = {
        {"cut by a byte", good.substr(0, good.size() - 1)},
        {"a byte too many", good + '\0'},
        {"magic", changed(3, 'X')},
        {"version", changed(4, 2)},
        {"root 0", changed(6, 0)},
        {"root 4", changed(6, 4)},
        {"no folder", changed(24, 0)},
        {"count", changed(count, 4)},
        {"count 0", sampleRecord().replace(count, 4, std::string(4, '\0'))},
        {"unsorted", unsorted},
        {"repeated", repeated},
        {"folder ..", sampleRecord(u"acme\\..")},
        {"folder with an empty part", sampleRecord(u"acme\\\\tool")},
        {"folder absolute", sampleRecord(u"\\acme")},
        {"folder with a drive", sampleRecord(u"C:tool")},
        {"folder a device", sampleRecord(u"acme\\CON")},
        {"folder with a 0 unit", sampleRecord(std::u16string(u"acme\0x", 6))},
    };
    for (const auto& [what, bytes] : damaged) {
        EXPECT_FALSE(parses(bytes)) << what;
    }
}

packer::PackageNames names(const std::string& company, const std::string& product) {
    return {company, product, "1.2"};
}

std::u16string folderOf(const std::string& location, const packer::PackageNames& given) {
    return packer::resolveCacheLocation(location, given).folder;
}

TEST(NativeCache, TheLocationTakesThePackagesNamesMadeFitForFolders) {
    const packer::CacheLocation standard =
        packer::resolveCacheLocation(packer::kDefaultCacheLocation, names("Acme, Inc.", "Tool"));
    EXPECT_EQ(standard.root, cache::Root::cacheDirectory);
    EXPECT_EQ(standard.folder, u"CorvellinthOnefile\\Acme, Inc\\Tool");
    EXPECT_EQ(folderOf(packer::kDefaultCacheLocation, names("", "a/b: c?")),
              u"CorvellinthOnefile\\a_b_ c_");
    EXPECT_EQ(folderOf("{temp}/x/{Version}", names("", "p")), u"x\\1.2");
    EXPECT_EQ(folderOf("{HOME}\\{PRODUCT}", names("", "con")), u"_con");
    EXPECT_EQ(packer::resolveCacheLocation("{HOME}\\a", names("", "p")).root, cache::Root::home);
    EXPECT_EQ(packer::folderNameFor(u" . "), u"");
}

TEST(NativeCache, TheLocationRefusesOtherForms) {
    for (const std::string& location :
         {std::string("C:\\cache"), std::string("{CACHE_DIR}"), std::string("{CACHE_DIR}\\"),
          std::string("{CACHE_DIR}x\\y"), std::string("{PID}\\x"),
          std::string("{CACHE_DIR}\\{TIME}"), std::string("{CACHE_DIR}\\..\\x"),
          std::string("{CACHE_DIR}\\a.\\b"), std::string("{TEMP}\\{COMPANY}"),
          "{TEMP}\\" + std::string(256, 'x')}) {
        try {
            packer::resolveCacheLocation(location, names("", "p"));
            ADD_FAILURE() << location << " was taken";
        } catch (const packer::PackError& failure) {
            EXPECT_EQ(failure.exitCode(), packer::kExitUsage) << location;
            EXPECT_THAT(failure.message(), HasSubstr("--cache-location")) << location;
        }
    }
}

std::string refusalOf(const std::vector<std::u16string>& entries) {
    packer::CacheRecordBuilder builder({cache::Root::temp, u"t"});
    try {
        for (const std::u16string& name : entries) {
            builder.addEntry(name, 1);
        }
    } catch (const packer::PackError& failure) {
        return failure.message();
    }
    return "";
}

// Names that unpack into one file or folder on Windows would make the
// listing wait forever for the other spelling; the marker's name is taken.
TEST(NativeCache, TheListingRefusesNamesThatWindowsTakesForOne) {
    EXPECT_THAT(refusalOf({u"main.dll", u"Data\\a", u"DATA\\b"}),
                HasSubstr("both 'Data' and 'DATA'"));
    EXPECT_THAT(refusalOf({u"main.dll", u"x.txt", u"X.TXT"}),
                HasSubstr("both 'x.txt' and 'X.TXT'"));
    EXPECT_THAT(refusalOf({u"main.dll", u".ONEFILE-CACHE"}), HasSubstr("named '.ONEFILE-CACHE'"));
    EXPECT_EQ(refusalOf({u"main.dll", u"sub\\.onefile-cache", u"main.dll"}), "");
}

TEST(NativeCache, TheCacheOptionsGoWithPackingOnly) {
    const auto parse = [](const std::vector<std::string>& arguments) {
        return packer::parseCommandLine(arguments);
    };
    const packer::CommandLine packing = parse({"--main", "m.dll", "--output", "o.exe", "--cache",
                                               "--cache-location", "{TEMP}\\x", "dir"});
    EXPECT_TRUE(packing.cache);
    EXPECT_EQ(packing.cacheLocation, "{TEMP}\\x");
    EXPECT_TRUE(parse({"--attached-data", "a.bin", "--output", "o.exe", "--cache"}).cache);
    EXPECT_FALSE(parse({"--main", "m.dll", "--output", "o.exe", "dir"}).cache);
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--main", "m.dll", "--output", "o.exe", "--cache-location",
                                   "{TEMP}\\x", "dir"},
          std::vector<std::string>{"--write-attached-data", "a.bin", "--main", "m.dll", "--cache",
                                   "dir"},
          std::vector<std::string>{"--list", "o.exe", "--cache"}}) {
        EXPECT_THROW(parse(arguments), packer::PackError) << arguments[0];
    }
}

class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "cache-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~Scratch() { fs::remove_all(path_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const {
        fs::create_directories(fs::path(*this / name).parent_path());
        std::ofstream(*this / name, std::ios::binary) << content;
    }

  private:
    std::string path_;
};

// The bytes of resource RCDATA id of the executable at path; empty when it
// has none.
std::string rcdata(const std::string& path, std::uint16_t id) {
    const packer::InputFile file(path);
    const packer::PeImage image = packer::readPeImage(file);
    for (const packer::ResourceEntry& entry : image.resources) {
        if (entry.type == packer::ResourceKey::number(packer::kTypeRcData) &&
            entry.name == packer::ResourceKey::number(id)) {
            return file.bytes(entry.fileOffset, entry.size);
        }
    }
    return "";
}

int pack(const std::string& arguments) {
    return std::system((std::string(ONEFILE_PACK_PATH) + " " + arguments + " >/dev/null").c_str());
}

// The record in a package: its key from the attached data that the package
// carries, the same whether packed from a folder or from prepared data; a
// package used as the launcher passes on neither.
TEST(NativeCache, APackagesRecordNamesItsAttachedData) {
    Scratch scratch;
    native_support::ImageSpec spec;
    spec.sections = {{".text", "code"}};
    scratch.write("launcher.exe", native_support::buildImage(spec));
    scratch.write("app/main.dll", "main");
    scratch.write("app/data/a.txt", "abc");
    const std::string common = " --level 3 --threads 2 --launcher " + scratch / "launcher.exe";
    ASSERT_EQ(pack("--main main.dll --cache --company Acme --output " + scratch / "one.exe" +
                   common + " " + scratch / "app"),
              0);
    ASSERT_EQ(pack("--write-attached-data " + scratch / "data.bin" +
                   " --main main.dll --level 3 --threads 2 " + scratch / "app"),
              0);
    ASSERT_EQ(pack("--attached-data " + scratch / "data.bin" + " --cache --company Acme " +
                   "--output " + scratch / "two.exe" + " --name one --launcher " +
                   scratch / "launcher.exe"),
              0);
    ASSERT_EQ(
        pack("--main main.dll --output " + scratch / "plain.exe" + common + " " + scratch / "app"),
        0);
    ASSERT_EQ(pack("--main main.dll --output " + scratch / "again.exe" + " --launcher " +
                   scratch / "one.exe " + scratch / "app"),
              0);

    const std::string record = rcdata(scratch / "one.exe", cache::kResourceId);
    cache::Record parsed{};
    ASSERT_TRUE(parses(record, &parsed));
    EXPECT_EQ(parsed.root, cache::Root::cacheDirectory);
    EXPECT_EQ(hex(parsed.key, cache::kKeySize),
              sha256(rcdata(scratch / "one.exe", 27)).substr(0, 2 * cache::kKeySize));
    EXPECT_EQ(parsed.listed, 3u);
    EXPECT_GE(cache::findListed(parsed, listingHash(cache::EntryKind::file, u"data\\a.txt", 3)), 0);
    EXPECT_EQ(rcdata(scratch / "two.exe", cache::kResourceId), record);
    EXPECT_EQ(rcdata(scratch / "plain.exe", cache::kResourceId), "");
    EXPECT_EQ(rcdata(scratch / "again.exe", cache::kResourceId), "");
    EXPECT_NE(rcdata(scratch / "again.exe", 27), "");
}

} // namespace
