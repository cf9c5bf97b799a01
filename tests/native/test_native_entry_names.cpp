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
        {u"main.dll", Problem::none},
        {u"data\\CONFIG\\console.txt", Problem::none},
        {u"COM10", Problem::none},
        {u"COM0", Problem::none},
        {u"NULL.txt", Problem::none},
        {u"con-artist", Problem::none},
        {u"a\\..hidden", Problem::none},
        {u"\u00e9t\u00e9\\\U0001F600.txt", Problem::none},
        {u"", Problem::emptyComponent},
        {u"a\\\\b", Problem::emptyComponent},
        {u"\\root", Problem::emptyComponent},
        {u"a\\", Problem::emptyComponent},
        {u"main.dll.", Problem::dotOrSpaceAtEnd},
        {u"MAIN.DLL ", Problem::dotOrSpaceAtEnd},
        {u"..", Problem::dotOrSpaceAtEnd},
        {u"a\\.\\b", Problem::dotOrSpaceAtEnd},
        {u"dir.\\file", Problem::dotOrSpaceAtEnd},
        {u"CON", Problem::deviceName},
        {u"nul", Problem::deviceName},
        {u"aux.txt", Problem::deviceName},
        {u"Prn.tar.gz", Problem::deviceName},
        {u"lib\\COM1", Problem::deviceName},
        {u"LPT9.log", Problem::deviceName},
        {u"com\u00B9", Problem::deviceName},
        {u"LPT\u00B3.txt", Problem::deviceName},
        {u"CON .txt", Problem::deviceName},
        {u"conin$", Problem::deviceName},
        {u"CONOUT$.x", Problem::deviceName},
        {u"a/b", Problem::reservedCharacter},
        {u"C:x", Problem::reservedCharacter},
        {u"what?", Problem::reservedCharacter},
        {u"a*b", Problem::reservedCharacter},
        {u"<tag>", Problem::reservedCharacter},
        {u"say \"hi\"", Problem::reservedCharacter},
        {u"pipe|", Problem::reservedCharacter},
        {u"tab\there", Problem::reservedCharacter},
        {u"bell\x07", Problem::reservedCharacter},
        {std::u16string(u"lone\xD800.txt"), Problem::unpairedSurrogate},
        {std::u16string(u"\xDC00"), Problem::unpairedSurrogate},
        {std::u16string(u"a\xD800\\\xDC00"), Problem::unpairedSurrogate},
        {std::u16string(u"end\xDBFF"), Problem::unpairedSurrogate},
    };
    for (const NameCase& check : cases) {
        EXPECT_EQ(problemOf(check.name), check.problem) << shown(check.name);
        EXPECT_EQ(native_support::isCreatableName(check.name), check.problem == Problem::none)
            << shown(check.name);
    }
    EXPECT_EQ(findEntryNameProblem(nullptr), Problem::emptyComponent);
    EXPECT_FALSE(isSafeEntryName(nullptr));
}

// The launcher reads names as wchar_t, which is 32 bits here: the same
// units give the same answer, and a value that is no UTF-16 unit is refused.
TEST(EntryNames, TheLaunchersWideFormAgrees) {
    for (const std::u16string name : {u"ok\\file.txt", u"aux", u"x.", u"a:b"}) {
        const std::wstring wide(name.begin(), name.end());
        EXPECT_EQ(isSafeEntryName(wide.c_str()), problemOf(name) == Problem::none) << shown(name);
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
            ASSERT_EQ(problemOf(whole) == Problem::none, native_support::isCreatableName(whole))
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
