// Which names of a folder could be the short (8.3) name that Windows makes
// for another: the forms it generates, the readings it may take, and the
// names that must stay allowed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/packer/short_names.h"
#include "tools/packer/unicode_text.h"

namespace {

struct Pair {
    std::u16string candidate;
    std::u16string name;
};

TEST(ShortNames, TheFormsWindowsGeneratesAreCaught) {
    const std::vector<Pair> aliases = {
        {u"abcdef~1.txt", u"abcdefghij.txt"},
        {u"ABCDEF~4.TXT", u"abcdefghij.txt"},
        {u"abcd~1.txt", u"abcdefghij.txt"},   // fewer characters kept
        {u"ABCDE~10.TXT", u"abcdefghij.txt"}, // a longer number leaves less room
        {u"AB12EF~1.TXT", u"abcdefghij.txt"}, // the hashed form after four alike
        {u"A12E~100.TXT", u"abcdefghij.txt"}, // hashed, a long number
        {u"mainpr~1.dll", u"mainprogram.dll"},
        {u"PROGRA~1", u"Program Files"},        // spaces left out
        {u"MYARCH~1.GZ", u"my.archive.tar.gz"}, // dots but the last left out
        {u"FILE~1.HTM", u"file.html"},          // only the extension is too long
        {u"A_B_~1.TXT", u"a+b=c.d.txt"},        // "+,;=[]" made '_'
        {u"GITIGN~1", u".gitignore"},           // a leading dot left out...
        {u"~1.GIT", u".gitignore"},             // ...or taken for the extension's
        {u"XT_~1.TXT", u"\u00e9t\u00e9.txt"},   // outside ASCII: any character
        {u"\u00c9T\u00c9~1.TXT", u"\u00e9t\u00e9.txt"},
        {u"progra~1", u"PROGRAM FILES"}, // case ignored both ways
    };
    for (const Pair& pair : aliases) {
        EXPECT_TRUE(packer::couldBeShortNameOf(pair.candidate, pair.name))
            << packer::utf16ToUtf8(pair.candidate);
        EXPECT_TRUE(packer::looksLikeShortName(pair.candidate));
    }
}

TEST(ShortNames, NamesThatCannotMeetStayAllowed) {
    const std::vector<Pair> distinct = {
        {u"abcdef~1.txt", u"abcdef.txt"},      // a valid 8.3 name has no short name
        {u"abcdef~1.txt", u"Readme.txt"},      // nor has one in mixed case
        {u"abcdef~1.doc", u"abcdefghij.txt"},  // another extension
        {u"abcdef~1", u"abcdefghij.txt"},      // no extension
        {u"abcdeg~1.txt", u"abcdefghij.txt"},  // another start
        {u"abcdefg~1.txt", u"abcdefghij.txt"}, // not an 8.3 name
        {u"abcdef~0.txt", u"abcdefghij.txt"},  // numbers start at 1
        {u"abcdef~.txt", u"abcdefghij.txt"},   // no number
        {u"abcdefgh.txt", u"abcdefghij.txt"},  // no '~'
        {u"ABGH12~1.TXT", u"abcdefghij.txt"},  // hashed, but 'G' and 'H' are no hex digits
        {u"~1.txt", u"abcdefghij.txt"},        // nothing kept of a base that has some
        {u"a b~1.txt", u"a bcdefghij.txt"},    // a space: not a short name
        {u"abcdefghij.txt", u"abcdefghij.txt"},
    };
    for (const Pair& pair : distinct) {
        EXPECT_FALSE(packer::couldBeShortNameOf(pair.candidate, pair.name))
            << packer::utf16ToUtf8(pair.candidate) << " beside " << packer::utf16ToUtf8(pair.name);
    }
}

} // namespace
