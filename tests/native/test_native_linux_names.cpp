// Entry names as Linux paths: UTF-16 with '\' separators becomes UTF-8 with
// '/' separators, and whatever would not stay below the run directory on
// Linux, or cannot be converted, is refused. Checked against a model on
// every short name over an alphabet that reaches each rule, and at the
// buffer's bounds.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "payload/entry_names.h"
#include "tools/packer/unicode_text.h"

namespace {

constexpr std::size_t kCapacity = 4096;

std::optional<std::string> converted(const std::u16string& name, std::size_t capacity = kCapacity) {
    std::string path(capacity, '\x7f');
    if (!convertEntryNameToUtf8(name.c_str(), path.data(), capacity)) {
        EXPECT_EQ(path[0], '\0') << "a refused name leaves the path empty";
        return std::nullopt;
    }
    path.resize(path.find('\0'));
    return path;
}

// The rules, written out plainly: components between '\', none empty, "."
// or "..", no '/', surrogates in pairs; then UTF-8 with '/' between them.
std::optional<std::string> model(const std::u16string& name) {
    std::vector<std::u16string> components(1);
    for (const char16_t unit : name) {
        if (unit == u'\\') {
            components.emplace_back();
        } else {
            components.back().push_back(unit);
        }
    }
    std::string path;
    for (const std::u16string& component : components) {
        if (component.empty() || component == u"." || component == u"..") {
            return std::nullopt;
        }
        if (!path.empty()) {
            path.push_back('/');
        }
        for (std::size_t at = 0; at < component.size(); ++at) {
            const char16_t unit = component[at];
            const bool high = unit >= 0xD800 && unit <= 0xDBFF;
            const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
            const bool lowFollows = at + 1 < component.size() && component[at + 1] >= 0xDC00 &&
                                    component[at + 1] <= 0xDFFF;
            if (unit == u'/' || low || (high && !lowFollows)) {
                return std::nullopt;
            }
            at += high ? 1 : 0;
        }
        // Every surrogate is paired now: the packer's conversion is exact.
        path += packer::utf16ToUtf8(component);
    }
    return path;
}

TEST(LinuxNames, AgreeWithTheRulesOnEveryShortName) {
    const std::u16string alphabet = u"a.\\/\u00e9\u4e2d\xd83d\xde00";
    std::vector<std::u16string> names{u""};
    for (std::size_t length = 1; length <= 4; ++length) {
        std::vector<std::u16string> longer;
        for (const std::u16string& name : names) {
            if (name.size() + 1 == length) {
                for (const char16_t unit : alphabet) {
                    longer.push_back(name + unit);
                }
            }
        }
        names.insert(names.end(), longer.begin(), longer.end());
    }
    for (const std::u16string& name : names) {
        EXPECT_EQ(converted(name), model(name)) << "name of " << name.size() << " units";
    }
}

TEST(LinuxNames, ExamplesAsTheyArrive) {
    EXPECT_EQ(converted(u"main.so"), "main.so");
    EXPECT_EQ(converted(u"data\\d\u00e9j\u00e0\\note.txt"), "data/d\xc3\xa9j\xc3\xa0/note.txt");
    EXPECT_EQ(converted(u"..a\\b..\\...\\x"), "..a/b../.../x");
    EXPECT_EQ(converted(u"emoji\\\xd83d\xde00"), "emoji/\xf0\x9f\x98\x80");
    EXPECT_EQ(converted(u"a\\..\\..\\etc"), std::nullopt);
    EXPECT_EQ(converted(u"a/b"), std::nullopt);
}

TEST(LinuxNames, ABufferExactlyLargeEnoughIsEnough) {
    // "ab/\u4e2d" is 6 bytes: 7 with the terminator.
    const std::u16string name = u"ab\\\u4e2d";
    EXPECT_EQ(converted(name, 7), "ab/\xe4\xb8\xad");
    EXPECT_EQ(converted(name, 6), std::nullopt);
    EXPECT_EQ(converted(u"ab\\c", 3), std::nullopt); // the separator does not fit
    EXPECT_EQ(converted(u"a", 1), std::nullopt);
}

} // namespace
