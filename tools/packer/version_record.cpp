#include "tools/packer/version_record.h"

#include "tools/packer/byte_io.h"
#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::uint16_t kBinary = 0;
constexpr std::uint16_t kText = 1;
constexpr std::uint32_t kFixedSignature = 0xFEEF04BD;
constexpr std::uint32_t kFixedStructureVersion = 0x00010000;
constexpr std::uint32_t kFlagsMask = 0x3F;
constexpr std::uint32_t kOsWindowsNt = 0x00040004;
constexpr std::uint32_t kTypeApplication = 1;
constexpr std::uint16_t kLanguageUsEnglish = 0x0409;
constexpr std::uint16_t kCodePageUnicode = 1200;

void padToFour(std::string& bytes) {
    while (bytes.size() % 4 != 0) {
        bytes.push_back('\0');
    }
}

void appendText(std::string& bytes, std::u16string_view text) {
    for (const char16_t unit : text) {
        appendU16(bytes, unit);
    }
    appendU16(bytes, 0);
}

// One node of the record: length, value length, type, key, value, children,
// each part starting on a 4-byte boundary.
std::string node(std::u16string_view key, std::uint16_t type, const std::string& value,
                 std::uint16_t valueLength, const std::vector<std::string>& children = {}) {
    std::string bytes(6, '\0');
    appendText(bytes, key);
    padToFour(bytes);
    bytes += value;
    for (const std::string& child : children) {
        padToFour(bytes);
        bytes += child;
    }
    storeU16(bytes, 0, static_cast<std::uint16_t>(bytes.size()));
    storeU16(bytes, 2, valueLength);
    storeU16(bytes, 4, type);
    return bytes;
}

std::uint32_t high(const VersionNumbers& numbers) {
    return std::uint32_t{numbers[0]} << 16 | numbers[1];
}

std::uint32_t low(const VersionNumbers& numbers) {
    return std::uint32_t{numbers[2]} << 16 | numbers[3];
}

std::string fixedPart(const VersionRecord& record) {
    std::string fixed;
    for (const std::uint32_t field :
         {kFixedSignature, kFixedStructureVersion, high(record.fileVersion),
          low(record.fileVersion), high(record.productVersion), low(record.productVersion),
          kFlagsMask, 0u, kOsWindowsNt, kTypeApplication, 0u, 0u, 0u}) {
        appendU32(fixed, field);
    }
    return fixed;
}

std::string stringNode(const std::string& key, const std::string& value) {
    const std::u16string text = utf8ToUtf16(value).value_or(u"");
    std::string bytes;
    appendText(bytes, text);
    return node(utf8ToUtf16(key).value_or(u""), kText, bytes,
                static_cast<std::uint16_t>(text.size() + 1));
}

} // namespace

std::optional<VersionNumbers> parseVersionNumbers(std::string_view text) {
    VersionNumbers numbers{};
    std::size_t part = 0;
    std::size_t digits = 0;
    std::uint32_t value = 0;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == '.') {
            if (digits == 0 || part == numbers.size()) {
                return std::nullopt;
            }
            numbers[part++] = static_cast<std::uint16_t>(value);
            digits = 0;
            value = 0;
            continue;
        }
        if (text[at] < '0' || text[at] > '9' || ++digits > 5) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
        if (value > 0xFFFF) {
            return std::nullopt;
        }
    }
    return numbers;
}

std::string makeVersionRecord(const VersionRecord& record) {
    std::vector<std::string> strings;
    for (const auto& [key, value] : record.strings) {
        strings.push_back(stringNode(key, value));
    }
    const std::string table = node(u"040904B0", kText, "", 0, strings);
    std::string translation;
    appendU16(translation, kLanguageUsEnglish);
    appendU16(translation, kCodePageUnicode);
    const std::string variables =
        node(u"VarFileInfo", kText, "", 0, {node(u"Translation", kBinary, translation, 4)});
    const std::string fixed = fixedPart(record);
    return node(u"VS_VERSION_INFO", kBinary, fixed, static_cast<std::uint16_t>(fixed.size()),
                {node(u"StringFileInfo", kText, "", 0, {table}), variables});
}

} // namespace packer
