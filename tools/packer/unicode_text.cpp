#include "tools/packer/unicode_text.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace packer {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct CaseRun {
    char16_t first;
    char16_t last;
    std::int32_t offset;
    std::uint8_t stride;
};

constexpr CaseRun kCaseRuns[] = {
#include "tools/packer/case_table.inc"
};

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Decodes one code point at text[*at] and moves *at past it; nothing for a
// sequence that is not valid UTF-8 (then *at moves past its first byte).
std::optional<char32_t> decodeUtf8(std::string_view text, std::size_t* at) {
    const auto lead = static_cast<unsigned char>(text[*at]);
    ++*at;
    if (lead < 0x80) {
        return lead;
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t smallest = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 1, value = lead & 0x1Fu, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 2, value = lead & 0x0Fu, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 3, value = lead & 0x07u, smallest = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - *at < length) {
        return std::nullopt;
    }
    for (std::size_t index = 0; index < length; ++index) {
        const auto byte = static_cast<unsigned char>(text[*at + index]);
        if (!isContinuation(byte)) {
            return std::nullopt;
        }
        value = (value << 6) | (byte & 0x3Fu);
    }
    if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    *at += length;
    return value;
}

void appendUtf16(std::u16string* out, char32_t value) {
    if (value < 0x10000) {
        out->push_back(static_cast<char16_t>(value));
        return;
    }
    const char32_t offset = value - 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
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

bool isHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::optional<char32_t> value = decodeUtf8(text, &at);
        if (!value) {
            return std::nullopt;
        }
        appendUtf16(&result, *value);
    }
    return result;
}

std::string utf16ToUtf8(std::u16string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char16_t unit = text[at];
        if (isHighSurrogate(unit) && at + 1 < text.size() && isLowSurrogate(text[at + 1])) {
            const char32_t high = unit - 0xD800u;
            const char32_t low = text[at + 1] - 0xDC00u;
            appendUtf8(&result, 0x10000 + (high << 10) + low);
            ++at;
        } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            appendUtf8(&result, kReplacement);
        } else {
            appendUtf8(&result, unit);
        }
    }
    return result;
}

std::string printableUtf8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::optional<char32_t> value = decodeUtf8(text, &at);
        appendUtf8(&result, value.value_or(kReplacement));
    }
    return result;
}

std::string oneLine(std::string_view text) {
    std::string result = printableUtf8(text);
    for (char& byte : result) {
        if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7F) {
            byte = '?';
        }
    }
    return result;
}

char16_t upperCaseUnit(char16_t unit) {
    const auto run =
        std::upper_bound(std::begin(kCaseRuns), std::end(kCaseRuns), unit,
                         [](char16_t value, const CaseRun& r) { return value < r.first; });
    if (run == std::begin(kCaseRuns)) {
        return unit;
    }
    const CaseRun& found = *std::prev(run);
    if (unit > found.last || (unit - found.first) % found.stride != 0) {
        return unit;
    }
    return static_cast<char16_t>(unit + found.offset);
}

std::u16string foldCase(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& unit : folded) {
        unit = upperCaseUnit(unit);
    }
    return folded;
}

} // namespace packer
