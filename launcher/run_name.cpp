#include "launcher/run_name.h"

#include "resources/product.h"

namespace {

constexpr std::uint64_t kLargestProcessId = 0x7FFFFFFF;    // "%ld" of a 32-bit long
constexpr std::uint64_t kLargestTime = 0x7FFFFFFFFFFFFFFF; // "%lld"

template <typename Unit> bool isDigit(Unit unit) {
    return unit >= Unit('0') && unit <= Unit('9');
}

// Reads a decimal number of at most largest from *text, without a leading
// zero (except the number 0 itself), and moves *text past it.
template <typename Unit>
bool readDecimal(const Unit** text, std::uint64_t largest, std::uint64_t* value) {
    const Unit* at = *text;
    if (!isDigit(at[0]) || (at[0] == Unit('0') && isDigit(at[1]))) {
        return false;
    }
    std::uint64_t number = 0;
    for (; isDigit(*at); ++at) {
        const auto digit = static_cast<std::uint64_t>(*at - Unit('0'));
        if (number > (largest - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *value = number;
    *text = at;
    return true;
}

// The names are ASCII: the prefix compares unit by unit in either width.
template <typename Unit> bool parseRunName(const Unit* name, RunName* run) {
    const wchar_t* prefix = product::kRunDirectoryPrefix;
    for (; *prefix != L'\0'; ++prefix, ++name) {
        if (static_cast<wchar_t>(*name) != *prefix) {
            return false;
        }
    }
    const Unit* at = name;
    std::uint64_t processId = 0;
    std::uint64_t startTime = 0;
    if (!readDecimal(&at, kLargestProcessId, &processId) || *at != Unit('_')) {
        return false;
    }
    ++at;
    if (!readDecimal(&at, kLargestTime, &startTime) || *at != Unit('\0')) {
        return false;
    }
    run->processId = static_cast<std::uint32_t>(processId);
    run->startTime = startTime;
    return true;
}

} // namespace

bool parseRunDirectoryName(const wchar_t* name, RunName* run) {
    return parseRunName(name, run);
}

bool parseRunDirectoryName(const char* name, RunName* run) {
    return parseRunName(name, run);
}
