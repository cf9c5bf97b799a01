#include "payload/entry_names.h"

#include <wchar.h>

#include <cstddef>
#include <cstdint>

namespace {

constexpr std::uint32_t kSeparator = u'\\';
constexpr std::uint32_t kFirstPrintable = 0x20;
constexpr std::uint32_t kLargestUnit = 0xFFFF;

bool isHighSurrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool isLowSurrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

bool isReserved(std::uint32_t unit) {
    switch (unit) {
    case u'<':
    case u'>':
    case u':':
    case u'"':
    case u'/':
    case u'|':
    case u'?':
    case u'*':
        return true;
    default:
        return unit < kFirstPrintable || unit > kLargestUnit;
    }
}

std::uint32_t upperAscii(std::uint32_t unit) {
    return unit >= u'a' && unit <= u'z' ? unit - (u'a' - u'A') : unit;
}

template <typename Unit> bool matches(const Unit* start, std::size_t length, const char* word) {
    std::size_t index = 0;
    for (; index < length && word[index] != '\0'; ++index) {
        if (upperAscii(static_cast<std::uint32_t>(start[index])) !=
            static_cast<std::uint32_t>(word[index])) {
            return false;
        }
    }
    return index == length && word[index] == '\0';
}

// 1 to 9, and the superscript digits that Windows also takes for them.
bool isPortDigit(std::uint32_t unit) {
    return (unit >= u'1' && unit <= u'9') || unit == 0xB9 || unit == 0xB2 || unit == 0xB3;
}

// Windows looks at a component up to its first '.', without the spaces
// before that dot, to decide whether it names a device.
template <typename Unit> bool isDeviceName(const Unit* start, std::size_t length) {
    std::size_t base = 0;
    while (base < length && start[base] != u'.') {
        ++base;
    }
    while (base > 0 && start[base - 1] == u' ') {
        --base;
    }
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* const device : kDevices) {
        if (matches(start, base, device)) {
            return true;
        }
    }
    return base == 4 && (matches(start, 3, "COM") || matches(start, 3, "LPT")) &&
           isPortDigit(static_cast<std::uint32_t>(start[3]));
}

template <typename Unit> EntryNameProblem componentProblem(const Unit* start, std::size_t length) {
    if (length == 0) {
        return EntryNameProblem::emptyComponent;
    }
    if (start[length - 1] == u'.' || start[length - 1] == u' ') {
        return EntryNameProblem::dotOrSpaceAtEnd;
    }
    return isDeviceName(start, length) ? EntryNameProblem::deviceName : EntryNameProblem::none;
}

template <typename Unit> EntryNameProblem problemOf(const Unit* name) {
    if (name == nullptr) {
        return EntryNameProblem::emptyComponent;
    }
    const Unit* componentStart = name;
    bool afterHigh = false;
    for (const Unit* at = name;; ++at) {
        const auto unit = static_cast<std::uint32_t>(*at);
        if (afterHigh != isLowSurrogate(unit)) {
            return EntryNameProblem::unpairedSurrogate;
        }
        afterHigh = isHighSurrogate(unit);
        if (afterHigh || isLowSurrogate(unit)) {
            continue;
        }
        if (unit == 0 || unit == kSeparator) {
            const auto length = static_cast<std::size_t>(at - componentStart);
            const EntryNameProblem problem = componentProblem(componentStart, length);
            if (problem != EntryNameProblem::none || unit == 0) {
                return problem;
            }
            componentStart = at + 1;
        } else if (isReserved(unit)) {
            return EntryNameProblem::reservedCharacter;
        }
    }
}

// The unit as the keys see it: case folded as any file system may fold it,
// and every other non-ASCII unit merged into one.
std::uint32_t keyUnit(std::uint32_t unit) {
    if (unit < 0x80) {
        return upperAscii(unit);
    }
    switch (unit) {
    case 0x130: // capital I with dot above: lower case 'i'
    case 0x131: // dotless i: upper case 'I'
        return u'I';
    case 0x17F: // long s: upper case 'S'
        return u'S';
    case 0x212A: // Kelvin sign: lower case 'k'
        return u'K';
    default:
        return 0x80;
    }
}

// 64-bit FNV-1a over the folded units.
constexpr std::uint64_t kKeyBasis = 0xCBF29CE484222325u;
constexpr std::uint64_t kKeyPrime = 0x100000001B3u;

template <typename Unit>
std::size_t pathKeysOf(const Unit* name, std::uint64_t* keys, std::size_t capacity) {
    std::size_t count = 0;
    std::uint64_t key = kKeyBasis;
    for (const Unit* at = name; count < capacity; ++at) {
        const auto unit = static_cast<std::uint32_t>(*at);
        if (unit == 0 || unit == kSeparator) {
            keys[count++] = key;
            if (unit == 0) {
                break;
            }
        }
        key = (key ^ keyUnit(unit)) * kKeyPrime;
    }
    return count;
}

constexpr std::uint32_t kReplacedSeparator = u'/';
constexpr std::size_t kLongestUtf8Sequence = 4;

// The UTF-8 form of the code point at *at, moving *at past it; 0 bytes for
// an unpaired surrogate.
std::size_t encodeUtf8(const char16_t** at, char* bytes) {
    std::uint32_t value = static_cast<std::uint32_t>(**at);
    ++*at;
    if (isLowSurrogate(value)) {
        return 0;
    }
    if (isHighSurrogate(value)) {
        const auto low = static_cast<std::uint32_t>(**at);
        if (!isLowSurrogate(low)) {
            return 0;
        }
        ++*at;
        value = 0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00);
    }
    if (value < 0x80) {
        bytes[0] = static_cast<char>(value);
        return 1;
    }
    if (value < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (value >> 6));
        bytes[1] = static_cast<char>(0x80 | (value & 0x3F));
        return 2;
    }
    if (value < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (value >> 12));
        bytes[1] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (value & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<char>(0xF0 | (value >> 18));
    bytes[1] = static_cast<char>(0x80 | ((value >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((value >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (value & 0x3F));
    return 4;
}

// A Linux path component that names the directory itself or its parent,
// or nothing.
bool isUnsafeLinuxComponent(const char* start, std::size_t length) {
    return length == 0 || (length == 1 && start[0] == '.') ||
           (length == 2 && start[0] == '.' && start[1] == '.');
}

bool convertName(const char16_t* name, char* path, std::size_t capacity) {
    std::size_t length = 0;
    std::size_t componentStart = 0;
    for (const char16_t* at = name;;) {
        const auto unit = static_cast<std::uint32_t>(*at);
        if (unit == 0 || unit == kSeparator) {
            if (isUnsafeLinuxComponent(path + componentStart, length - componentStart)) {
                return false;
            }
            if (unit == 0) {
                path[length] = '\0';
                return true;
            }
            // The separator and the terminator behind it.
            if (capacity - length < 2) {
                return false;
            }
            ++at;
            path[length++] = '/';
            componentStart = length;
            continue;
        }
        if (unit == kReplacedSeparator) {
            return false;
        }
        char bytes[kLongestUtf8Sequence];
        const std::size_t count = encodeUtf8(&at, bytes);
        // The bytes, the separator or terminator behind them.
        if (count == 0 || count >= capacity - length) {
            return false;
        }
        for (std::size_t index = 0; index < count; ++index) {
            path[length++] = bytes[index];
        }
    }
}

} // namespace

bool convertEntryNameToUtf8(const char16_t* name, char* path, std::size_t capacity) {
    if (capacity == 0) {
        return false;
    }
    path[0] = '\0';
    if (name == nullptr || !convertName(name, path, capacity)) {
        path[0] = '\0';
        return false;
    }
    return true;
}

EntryNameProblem findEntryNameProblem(const char16_t* name) {
    return problemOf(name);
}

bool isSafeEntryName(const wchar_t* name) {
    return problemOf(name) == EntryNameProblem::none;
}

std::size_t entryPathKeys(const char16_t* name, std::uint64_t* keys, std::size_t capacity) {
    return pathKeysOf(name, keys, capacity);
}

std::size_t entryPathKeys(const wchar_t* name, std::uint64_t* keys, std::size_t capacity) {
    return pathKeysOf(name, keys, capacity);
}

bool mayBeShortName(const wchar_t* name) {
    return wcschr(name, L'~') != nullptr;
}
