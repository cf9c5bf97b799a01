// Text conversions of the packer, the same on every platform: strict UTF-8
// to UTF-16 for names, UTF-16 to UTF-8 for messages, and the comparison of
// names ignoring case that Windows file systems make.
#ifndef CORVELLINTH_TOOLS_PACKER_UNICODE_TEXT_H
#define CORVELLINTH_TOOLS_PACKER_UNICODE_TEXT_H

#include <optional>
#include <string>
#include <string_view>

namespace packer {

// The UTF-16 form of text, or nothing when text is not valid UTF-8 (an
// overlong form, an encoded surrogate, a truncated sequence, a stray byte).
std::optional<std::u16string> utf8ToUtf16(std::string_view text);

// The UTF-8 form of text; an unpaired surrogate becomes U+FFFD, so the
// result can always be shown.
std::string utf16ToUtf8(std::u16string_view text);

// text with every byte sequence that is not valid UTF-8 replaced by U+FFFD:
// a file name from a file system that stores bytes, made fit for a message.
std::string printableUtf8(std::string_view text);

// printableUtf8 with control characters (a line break, say) shown as '?',
// so that a message stays one line whatever names it quotes.
std::string oneLine(std::string_view text);

// True for the code units of ASCII's digits and letters.
inline bool isAsciiAlphanumeric(char16_t unit) {
    return (unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'Z') ||
           (unit >= u'a' && unit <= u'z');
}

// The code unit in upper case when it has a simple upper-case mapping in the
// Basic Multilingual Plane (Unicode's, as Windows file systems use it).
char16_t upperCaseUnit(char16_t unit);

// name with every code unit in upper case: equal results mean names that
// Windows takes for the same file.
std::u16string foldCase(std::u16string_view name);

} // namespace packer

#endif
