#include "tools/packer/short_names.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::size_t kBaseLimit = 8;
constexpr std::size_t kExtensionLimit = 3;
constexpr std::size_t kPlainPrefixLimit = 6;
constexpr std::size_t kHashedPrefixLimit = 2;
constexpr std::size_t kHashDigits = 4;
constexpr char16_t kLastAscii = 0x7F;
// Stands for a character outside ASCII, whose short form the code page decides.
constexpr char16_t kAnyUnit = 0xFFFF;
constexpr std::u16string_view kShortNamePunctuation = u"!#$%&'()-@^_`{}~";
constexpr std::u16string_view kMadeUnderscore = u"+,;=[]";

bool isDigit(char16_t unit) {
    return unit >= u'0' && unit <= u'9';
}

bool isHexDigit(char16_t unit) {
    return isDigit(unit) || (unit >= u'A' && unit <= u'F');
}

bool isShortNameUnit(char16_t unit, bool othersAllowed) {
    if (unit > kLastAscii) {
        return othersAllowed;
    }
    return isAsciiAlphanumeric(unit) || kShortNamePunctuation.find(unit) != std::u16string::npos;
}

struct NameParts {
    std::u16string_view base;
    std::u16string_view extension;
};

// A valid 8.3 name split at its dot; nothing for any other name. With
// othersAllowed, characters outside ASCII count as valid (some code page
// may hold them).
std::optional<NameParts> splitShortForm(std::u16string_view name, bool othersAllowed) {
    const std::size_t dot = name.find(u'.');
    const NameParts parts{name.substr(0, dot),
                          dot == std::u16string_view::npos ? u"" : name.substr(dot + 1)};
    const bool fits = !parts.base.empty() && parts.base.size() <= kBaseLimit &&
                      parts.extension.size() <= kExtensionLimit &&
                      (dot == std::u16string_view::npos || !parts.extension.empty());
    const auto valid = [othersAllowed](char16_t unit) {
        return isShortNameUnit(unit, othersAllowed);
    };
    if (!fits || !std::all_of(parts.base.begin(), parts.base.end(), valid) ||
        !std::all_of(parts.extension.begin(), parts.extension.end(), valid)) {
        return std::nullopt;
    }
    return parts;
}

char16_t shortFormOf(char16_t unit) {
    if (unit > kLastAscii) {
        return kAnyUnit;
    }
    if (kMadeUnderscore.find(unit) != std::u16string::npos) {
        return u'_';
    }
    return upperCaseUnit(unit);
}

// What a short name of name is made from: its base and extension in full,
// spaces and dots other than the last left out.
struct ShortSource {
    std::u16string base;
    std::u16string extension;
};

ShortSource shortSourceOf(std::u16string_view name) {
    const std::size_t lastDot = name.rfind(u'.');
    ShortSource source;
    for (std::size_t at = 0; at < name.size(); ++at) {
        if (name[at] == u' ' || name[at] == u'.') {
            continue;
        }
        const bool inExtension = lastDot != std::u16string_view::npos && at > lastDot;
        (inExtension ? source.extension : source.base).push_back(shortFormOf(name[at]));
    }
    return source;
}

// Both readings of a name that starts with a dot (".gitignore"): the dot
// as the extension's, and leading dots left out.
std::vector<ShortSource> shortSourcesOf(std::u16string_view name) {
    std::vector<ShortSource> sources = {shortSourceOf(name)};
    const std::size_t start = name.find_first_not_of(u". ");
    if (start != 0 && start != std::u16string_view::npos) {
        sources.push_back(shortSourceOf(name.substr(start)));
    }
    return sources;
}

// candidate (in upper case) against pattern, where kAnyUnit matches anything.
bool unitsMatch(std::u16string_view candidate, std::u16string_view pattern) {
    return candidate.size() == pattern.size() &&
           std::equal(
               candidate.begin(), candidate.end(), pattern.begin(),
               [](char16_t unit, char16_t wanted) { return wanted == kAnyUnit || unit == wanted; });
}

bool startsBase(std::u16string_view prefix, std::u16string_view base) {
    return prefix.size() <= base.size() && unitsMatch(prefix, base.substr(0, prefix.size()));
}

// "<prefix>~<number>" against the base it would be made from.
bool baseMatches(std::u16string_view candidate, std::u16string_view base) {
    const std::size_t tilde = candidate.rfind(u'~');
    if (tilde == std::u16string_view::npos) {
        return false;
    }
    const std::u16string_view number = candidate.substr(tilde + 1);
    if (number.empty() || number[0] == u'0' ||
        !std::all_of(number.begin(), number.end(), isDigit)) {
        return false;
    }
    const std::u16string_view prefix = candidate.substr(0, tilde);
    const std::size_t room = kBaseLimit - 1 - number.size();
    const bool plain = prefix.size() <= std::min(kPlainPrefixLimit, room) &&
                       (!prefix.empty() || base.empty()) && startsBase(prefix, base);
    if (plain) {
        return true;
    }
    if (room < kHashDigits) {
        return false;
    }
    const std::size_t kept = std::min({base.size(), kHashedPrefixLimit, room - kHashDigits});
    const std::u16string_view hash = prefix.substr(std::min(kept, prefix.size()));
    return prefix.size() == kept + kHashDigits && startsBase(prefix.substr(0, kept), base) &&
           std::all_of(hash.begin(), hash.end(), isHexDigit);
}

// What can be made short of one name: nothing for a valid 8.3 name.
std::vector<ShortSource> madeShortFrom(std::u16string_view name) {
    return splitShortForm(name, false) ? std::vector<ShortSource>{} : shortSourcesOf(name);
}

// A candidate (folded to upper case, a valid 8.3 name) against what a
// short name could be made from.
bool matchesAny(const NameParts& candidate, const std::vector<ShortSource>& sources) {
    return std::any_of(sources.begin(), sources.end(), [&candidate](const ShortSource& source) {
        const std::u16string_view extension =
            std::u16string_view(source.extension).substr(0, kExtensionLimit);
        return unitsMatch(candidate.extension, extension) &&
               baseMatches(candidate.base, source.base);
    });
}

// The parts of a name that could be a short name, held in upper case in
// folded; nothing for any other name.
std::optional<NameParts> shortNameParts(std::u16string_view folded) {
    if (folded.find(u'~') == std::u16string_view::npos) {
        return std::nullopt;
    }
    return splitShortForm(folded, true);
}

} // namespace

bool looksLikeShortName(std::u16string_view name) {
    return shortNameParts(name).has_value();
}

bool couldBeShortNameOf(std::u16string_view candidate, std::u16string_view name) {
    const std::u16string folded = foldCase(candidate);
    const std::optional<NameParts> parts = shortNameParts(folded);
    return parts && matchesAny(*parts, madeShortFrom(name));
}

std::optional<std::pair<std::size_t, std::size_t>>
findShortNameAlias(const std::vector<std::u16string>& names) {
    std::vector<std::vector<ShortSource>> sources; // made at the first candidate
    for (std::size_t alias = 0; alias < names.size(); ++alias) {
        const std::u16string folded = foldCase(names[alias]);
        const std::optional<NameParts> parts = shortNameParts(folded);
        if (!parts) {
            continue;
        }
        if (sources.empty()) {
            std::transform(names.begin(), names.end(), std::back_inserter(sources), madeShortFrom);
        }
        for (std::size_t other = 0; other < names.size(); ++other) {
            if (matchesAny(*parts, sources[other])) {
                return std::make_pair(alias, other);
            }
        }
    }
    return std::nullopt;
}

} // namespace packer
