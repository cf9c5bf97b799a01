// The launcher's check of entry names (payload/entry_names.cpp): each class
// of name that Windows would not create as named, and agreement with the
// rules written out apart (the fuzz oracle) on every short name over the
// units that matter.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "payload/entry_names.h"
#include "tests/native/support/entry_name_rules.h"

namespace {

using Problem = EntryNameProblem;

Problem problemOf(const std::u16string& name) {
    return findEntryNameProblem(name.c_str());
}

std::string shown(const std::u16string& name) {
    std::string text;
    for (const char16_t unit : name) {
        text += unit >= 0x20 && unit < 0x7F ? std::string(1, static_cast<char>(unit))
                                            : "\\u" + std::to_string(unit);
    }
    return text;
}

struct NameCase {
    std::u16string name;
    Problem problem;
};

TEST(EntryNames, EachClassOfUnsafeNameIsFound) {
    const std::vector<NameCase> cases = {
        {u"main.dll", Problem::None},
        {u"data\\CONFIG\\console.txt", Problem::None},
        {u"COM10", Problem::None},
        {u"COM0", Problem::None},
        {u"NULL.txt", Problem::None},
        {u"con-artist", Problem::None},
        {u"a\\..hidden", Problem::None},
        {u"\u00e9t\u00e9\\\U0001F600.txt", Problem::None},
        {u"", Problem::EmptyComponent},
        {u"a\\\\b", Problem::EmptyComponent},
        {u"\\root", Problem::EmptyComponent},
        {u"a\\", Problem::EmptyComponent},
        {u"main.dll.", Problem::DotOrSpaceAtEnd},
        {u"MAIN.DLL ", Problem::DotOrSpaceAtEnd},
        {u"..", Problem::DotOrSpaceAtEnd},
        {u"a\\.\\b", Problem::DotOrSpaceAtEnd},
        {u"dir.\\file", Problem::DotOrSpaceAtEnd},
        {u"CON", Problem::DeviceName},
        {u"nul", Problem::DeviceName},
        {u"aux.txt", Problem::DeviceName},
        {u"Prn.tar.gz", Problem::DeviceName},
        {u"lib\\COM1", Problem::DeviceName},
        {u"LPT9.log", Problem::DeviceName},
        {u"com\u00B9", Problem::DeviceName},
        {u"LPT\u00B3.txt", Problem::DeviceName},
        {u"CON .txt", Problem::DeviceName},
        {u"conin$", Problem::DeviceName},
        {u"CONOUT$.x", Problem::DeviceName},
        {u"a/b", Problem::ReservedCharacter},
        {u"C:x", Problem::ReservedCharacter},
        {u"what?", Problem::ReservedCharacter},
        {u"a*b", Problem::ReservedCharacter},
        {u"<tag>", Problem::ReservedCharacter},
        {u"say \"hi\"", Problem::ReservedCharacter},
        {u"pipe|", Problem::ReservedCharacter},
        {u"tab\there", Problem::ReservedCharacter},
        {u"bell\x07", Problem::ReservedCharacter},
        {std::u16string(u"lone\xD800.txt"), Problem::UnpairedSurrogate},
        {std::u16string(u"\xDC00"), Problem::UnpairedSurrogate},
        {std::u16string(u"a\xD800\\\xDC00"), Problem::UnpairedSurrogate},
        {std::u16string(u"end\xDBFF"), Problem::UnpairedSurrogate},
    };
    for (const NameCase& check : cases) {
        EXPECT_EQ(problemOf(check.name), check.problem) << shown(check.name);
        EXPECT_EQ(native_support::isCreatableName(check.name), check.problem == Problem::None)
            << shown(check.name);
    }
    EXPECT_EQ(findEntryNameProblem(nullptr), Problem::EmptyComponent);
    EXPECT_FALSE(isSafeEntryName(nullptr));
}

// The launcher reads names as wchar_t, which is 32 bits here: the same
// units give the same answer, and a value that is no UTF-16 unit is refused.
TEST(EntryNames, TheLaunchersWideFormAgrees) {
    for (const std::u16string name : {u"ok\\file.txt", u"aux", u"x.", u"a:b"}) {
        const std::wstring wide(name.begin(), name.end());
        EXPECT_EQ(isSafeEntryName(wide.c_str()), problemOf(name) == Problem::None) << shown(name);
    }
    EXPECT_FALSE(isSafeEntryName(L"\U00010000"));
}

// Every name of up to four units from an alphabet that reaches each rule
// (and a device name's last unit) gets the same answer from both.
TEST(EntryNames, AgreesWithTheRulesOnEveryShortName) {
    const std::u16string alphabet = u"aCON1.\\ :/\x1F\u00B9$";
    const std::u16string surrogates = u"\xD83D\xDE00";
    const std::u16string units = alphabet + surrogates;
    std::vector<std::u16string> names = {u""};
    for (std::size_t length = 1; length <= 4; ++length) {
        std::vector<std::u16string> longer;
        for (const std::u16string& name : names) {
            if (name.size() + 1 != length) {
                continue;
            }
            for (const char16_t unit : units) {
                longer.push_back(name + unit);
            }
        }
        names.insert(names.end(), longer.begin(), longer.end());
    }
    for (const std::u16string& prefix : {u"", u"COM", u"LPT", u"dir\\CONOUT"}) {
        for (const std::u16string& name : names) {
            const std::u16string whole = prefix + name;
            ASSERT_EQ(problemOf(whole) == Problem::None, native_support::isCreatableName(whole))
                << shown(whole);
        }
    }
}

std::vector<std::uint64_t> keysOf(const std::u16string& name) {
    std::vector<std::uint64_t> keys(name.size() / 2 + 1);
    keys.resize(entryPathKeys(name.c_str(), keys.data(), keys.size()));
    return keys;
}

// The keys tell workers which files may be the same: any two spellings that
// a case-insensitive file system takes for one path must share a key, and
// a name's directories must key as those directories' own names would.
TEST(EntryNames, PathKeysMatchWhereAFileSystemMayFoldCase) {
    const std::vector<std::pair<std::u16string, std::u16string>> same = {
        {u"Dir\\Main.DLL", u"dIR\\mAIN.dll"},
        {u"ıİſK", u"iIsk"},
        {u"été", u"ÉTÉ"},
        {u"😀", u"😁"},
    };
    for (const auto& [first, second] : same) {
        EXPECT_EQ(keysOf(first), keysOf(second)) << shown(first);
    }
    const std::vector<std::uint64_t> deep = keysOf(u"a\\b\\c.txt");
    ASSERT_EQ(deep.size(), 3u);
    EXPECT_EQ(deep[0], keysOf(u"A").back());
    EXPECT_EQ(deep[1], keysOf(u"a\\B").back());
    EXPECT_NE(deep[1], deep[2]);
    EXPECT_NE(keysOf(u"a\\b").back(), keysOf(u"ab").back());
    EXPECT_NE(keysOf(u"main.dll").back(), keysOf(u"main.dl1").back());
}

} // namespace
