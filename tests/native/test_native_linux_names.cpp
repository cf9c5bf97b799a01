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

void appendUtf8(std::string* out, char32_t value) {
    if (value < 0x80) {
        out->push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (value >> 6)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (value >> 12)));
        out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (value >> 18)));
        out->push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
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
            if (unit == u'/') {
                return std::nullopt;
            }
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                return std::nullopt;
            }
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                if (at + 1 == component.size() || component[at + 1] < 0xDC00 ||
                    component[at + 1] > 0xDFFF) {
                    return std::nullopt;
                }
                appendUtf8(&path, 0x10000 + ((unit - 0xD800u) << 10) + (component[++at] - 0xDC00u));
                continue;
            }
            appendUtf8(&path, unit);
        }
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
