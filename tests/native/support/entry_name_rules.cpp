#include "tests/native/support/entry_name_rules.h"

#include <set>
#include <vector>

namespace native_support {
namespace {

std::vector<std::u16string> split(const std::u16string& name) {
    std::vector<std::u16string> parts(1);
    for (const char16_t unit : name) {
        if (unit == u'\\') {
            parts.emplace_back();
        } else {
            parts.back() += unit;
        }
    }
    return parts;
}

std::set<std::u16string> deviceNames() {
    std::set<std::u16string> names = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    for (const char16_t digit : std::u16string(u"123456789\u00B9\u00B2\u00B3")) {
        names.insert(std::u16string(u"COM") + digit);
        names.insert(std::u16string(u"LPT") + digit);
    }
    return names;
}

bool isDevice(const std::u16string& part) {
    std::u16string base = part.substr(0, part.find(u'.'));
    while (!base.empty() && base.back() == u' ') {
        base.pop_back();
    }
    for (char16_t& unit : base) {
        if (unit >= u'a' && unit <= u'z') {
            unit = static_cast<char16_t>(unit - u'a' + u'A');
        }
    }
    static const std::set<std::u16string> devices = deviceNames();
    return devices.count(base) != 0;
}

bool surrogatesPaired(const std::u16string& name) {
    for (std::size_t at = 0; at < name.size(); ++at) {
        const bool high = name[at] >= 0xD800 && name[at] <= 0xDBFF;
        const bool low = name[at] >= 0xDC00 && name[at] <= 0xDFFF;
        if (low) {
            return false;
        }
        if (high) {
            if (at + 1 == name.size() || name[at + 1] < 0xDC00 || name[at + 1] > 0xDFFF) {
                return false;
            }
            ++at;
        }
    }
    return true;
}

} // namespace

bool isCreatableName(const std::u16string& name) {
    if (name.find_first_of(u"<>:\"/|?*") != std::u16string::npos || !surrogatesPaired(name)) {
        return false;
    }
    for (const char16_t unit : name) {
        if (unit < 0x20) {
            return false;
        }
    }
    for (const std::u16string& part : split(name)) {
        if (part.empty() || part.back() == u'.' || part.back() == u' ' || isDevice(part)) {
            return false;
        }
    }
    return true;
}

} // namespace native_support
