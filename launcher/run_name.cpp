#include "launcher/run_name.h"

#include <wchar.h>

#include "resources/product.h"

namespace {

constexpr std::uint64_t kLargestProcessId = 0x7FFFFFFF;    // "%ld" of a 32-bit long
constexpr std::uint64_t kLargestTime = 0x7FFFFFFFFFFFFFFF; // "%lld"

bool isDigit(wchar_t unit) {
    return unit >= L'0' && unit <= L'9';
}

// Reads a decimal number of at most largest from *text, without a leading
// zero (except the number 0 itself), and moves *text past it.
bool readDecimal(const wchar_t** text, std::uint64_t largest, std::uint64_t* value) {
    const wchar_t* at = *text;
    if (!isDigit(at[0]) || (at[0] == L'0' && isDigit(at[1]))) {
        return false;
    }
    std::uint64_t number = 0;
    for (; isDigit(*at); ++at) {
        const auto digit = static_cast<std::uint64_t>(*at - L'0');
        if (number > (largest - digit) / 10) {
            return false;
        }
        number = number * 10 + digit;
    }
    *value = number;
    *text = at;
    return true;
}

} // namespace

bool parseRunDirectoryName(const wchar_t* name, RunName* run) {
    const std::size_t prefixLength = wcslen(product::kRunDirectoryPrefix);
    if (wcsncmp(name, product::kRunDirectoryPrefix, prefixLength) != 0) {
        return false;
    }
    const wchar_t* at = name + prefixLength;
    std::uint64_t processId = 0;
    std::uint64_t startTime = 0;
    if (!readDecimal(&at, kLargestProcessId, &processId) || *at != L'_') {
        return false;
    }
    ++at;
    if (!readDecimal(&at, kLargestTime, &startTime) || *at != L'\0') {
        return false;
    }
    run->processId = static_cast<std::uint32_t>(processId);
    run->startTime = startTime;
    return true;
}
