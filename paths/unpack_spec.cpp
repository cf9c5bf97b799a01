// Template expansion: a scanner that copies literal text and replaces each
// {NAME} with its value, writing straight into the caller's buffer. Every
// buffer is local to the call, so nested expansions ({PROGRAM_BASE} and
// {PROGRAM_DIR} expand "{PROGRAM}") need nothing shared.
#include "paths/unpack_spec.h"

#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include "diagnostics/diagnostics.h"
#include "paths/environment.h"
#include "paths/system_calls.h"
#include "resources/product.h"

namespace {

constexpr std::size_t kNameCapacity = 1024;              // placeholder name, terminator included
constexpr std::size_t kScratchCapacity = 1024;           // folder paths and the time as text
constexpr std::size_t kSingleCharacterCapacity = 2;      // one code unit and a terminator
constexpr wctype_t kDigitClass = 4;                      // the runtime's _DIGIT class
constexpr int kProfileFolder = CSIDL_PROFILE;            // 40
constexpr int kLocalAppDataFolder = CSIDL_LOCAL_APPDATA; // 28
constexpr wchar_t kProgramTemplate[] = L"{PROGRAM}";
constexpr wchar_t kExecutableSuffix[] = L".exe";
constexpr std::size_t kExecutableSuffixLength = 4;

enum class Placeholder {
    temp,
    program,
    programBase,
    programDir,
    processId,
    home,
    cacheDir,
    company,
    productName,
    version,
    time,
    unknown,
};

struct KnownName {
    const wchar_t* name;
    Placeholder placeholder;
};

// Looked up in this order.
constexpr KnownName kKnownNames[] = {
    {L"TEMP", Placeholder::temp},
    {L"PROGRAM", Placeholder::program},
    {L"PROGRAM_BASE", Placeholder::programBase},
    {L"PROGRAM_DIR", Placeholder::programDir},
    {L"PID", Placeholder::processId},
    {L"HOME", Placeholder::home},
    {L"CACHE_DIR", Placeholder::cacheDir},
    {L"COMPANY", Placeholder::company},
    {L"PRODUCT", Placeholder::productName},
    {L"VERSION", Placeholder::version},
    {L"TIME", Placeholder::time},
};

// The output as the scanner sees it: text of `length` code units, then the
// terminator, in a buffer of `capacity`. The room is capacity - length.
struct Output {
    wchar_t* buffer;
    std::size_t length;
    std::size_t capacity;
};

wchar_t* outputEnd(const Output& output) {
    return output.buffer + output.length;
}

std::size_t outputRoom(const Output& output) {
    return output.capacity - output.length;
}

// Length of a text that must be terminated within capacity code units.
std::size_t boundedLength(const wchar_t* text, std::size_t capacity) {
    for (std::size_t index = 0; index < capacity; ++index) {
        if (text[index] == L'\0') {
            return index;
        }
    }
    boundsFailure();
}

// Takes over whatever a nested writer put at the end of the output.
void advanceOverWritten(Output& output) {
    output.length += boundedLength(outputEnd(output), outputRoom(output));
}

void appendToOutput(Output& output, const wchar_t* text) {
    appendWide(outputEnd(output), text, outputRoom(output));
    advanceOverWritten(output);
}

void removeTrailingBackslashes(Output& output) {
    while (output.length > 0 && output.buffer[output.length - 1] == L'\\') {
        --output.length;
        output.buffer[output.length] = L'\0';
    }
}

// Literal text that does not fit is the one overflow that fails softly.
bool appendLiteral(Output& output, wchar_t unit) {
    if (outputRoom(output) < 2) {
        return false;
    }
    output.buffer[output.length] = unit;
    ++output.length;
    output.buffer[output.length] = L'\0';
    return true;
}

Placeholder lookUpPlaceholder(const wchar_t* name) {
    for (const KnownName& known : kKnownNames) {
        if (_wcsicmp(name, known.name) == 0) {
            return known.placeholder;
        }
    }
    return Placeholder::unknown;
}

void appendTemporaryDirectory(Output& output) {
    const std::size_t room = outputRoom(output);
    const DWORD length = room > MAXDWORD ? MAXDWORD : static_cast<DWORD>(room);
    // The return value is not needed: a path that does not fit, or no path
    // at all, leaves the first code unit 0 and so adds nothing.
    systemCalls.getTempPath(length, outputEnd(output));
    advanceOverWritten(output);
    removeTrailingBackslashes(output);
}

bool appendFolder(Output& output, int folder) {
    wchar_t scratch[kScratchCapacity];
    scratch[0] = L'\0';
    // API oddity: S_FALSE is a success code but means the folder does not
    // exist, so only S_OK counts.
    if (systemCalls.getFolderPath(nullptr, folder, nullptr, 0, scratch) != S_OK) {
        return false;
    }
    boundedLength(scratch, kScratchCapacity);
    appendToOutput(output, scratch);
    removeTrailingBackslashes(output);
    return true;
}

void appendProgram(Output& output) {
    if (__wargv == nullptr || __argc < 1 || __wargv[0] == nullptr) {
        abort();
    }
    appendToOutput(output, __wargv[0]);
}

// {PROGRAM_BASE}: the program less a final ".exe" in any case.
bool appendProgramBase(Output& output) {
    wchar_t* const start = outputEnd(output);
    if (!expandUnpackSpec(start, kProgramTemplate, outputRoom(output))) {
        return false;
    }
    const std::size_t length = boundedLength(start, outputRoom(output));
    if (length >= kExecutableSuffixLength &&
        _wcsicmp(start + length - kExecutableSuffixLength, kExecutableSuffix) == 0) {
        start[length - kExecutableSuffixLength] = L'\0';
    }
    advanceOverWritten(output);
    return true;
}

// {PROGRAM_DIR}: the program cut at its last backslash, whole without one.
bool appendProgramDirectory(Output& output) {
    wchar_t* const start = outputEnd(output);
    if (!expandUnpackSpec(start, kProgramTemplate, outputRoom(output))) {
        return false;
    }
    wchar_t* const lastBackslash = wcsrchr(start, L'\\');
    if (lastBackslash != nullptr) {
        *lastBackslash = L'\0';
    }
    advanceOverWritten(output);
    return true;
}

// {PID}: the parent's identifier when it has published one (the child's
// case and the parent's own), else this process's.
void appendProcessId(Output& output) {
    wchar_t* const inherited = getEnvironmentValueA(environment::kParent);
    if (inherited != nullptr) {
        for (const wchar_t* unit = inherited; *unit != L'\0'; ++unit) {
            if (iswctype(*unit, kDigitClass) == 0) {
                abort();
            }
        }
        appendToOutput(output, inherited);
        free(inherited);
        return;
    }
    appendCurrentProcessId(outputEnd(output), outputRoom(output));
    advanceOverWritten(output);
}

// {TIME}: the first use in a process tree fixes the value in
// TAMBRO_ONEFILE_START, so that the child derives the same directory.
void appendStartTime(Output& output) {
    wchar_t* const published = getEnvironmentValueA(environment::kStart);
    if (published != nullptr) {
        appendToOutput(output, published);
        free(published);
        return;
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    wchar_t scratch[kScratchCapacity];
    scratch[kScratchCapacity - 1] = L'\0';
    _snwprintf(scratch, kScratchCapacity - 1, L"%lld", static_cast<long long>(ticks));
    setEnvironmentValueA(environment::kStart, scratch);
    appendToOutput(output, scratch);
}

bool appendPlaceholder(Output& output, Placeholder placeholder) {
    switch (placeholder) {
    case Placeholder::temp:
        appendTemporaryDirectory(output);
        return true;
    case Placeholder::program:
        appendProgram(output);
        return true;
    case Placeholder::programBase:
        return appendProgramBase(output);
    case Placeholder::programDir:
        return appendProgramDirectory(output);
    case Placeholder::processId:
        appendProcessId(output);
        return true;
    case Placeholder::home:
        return appendFolder(output, kProfileFolder);
    case Placeholder::cacheDir:
        return appendFolder(output, kLocalAppDataFolder);
    case Placeholder::company:
        appendToOutput(output, product::kCompany);
        return true;
    case Placeholder::productName:
        appendToOutput(output, product::kProduct);
        return true;
    case Placeholder::version:
        appendToOutput(output, product::kVersion);
        return true;
    case Placeholder::time:
        appendStartTime(output);
        return true;
    case Placeholder::unknown:
        break;
    }
    return false;
}

// Appends one code unit to the converted text, bounded like appendWide.
void appendUnit(wchar_t* target, std::size_t* length, std::size_t capacity, wchar_t unit) {
    if (*length + 2 > capacity) {
        boundsFailure();
    }
    target[*length] = unit;
    ++*length;
    target[*length] = L'\0';
}

} // namespace

// A "}" outside a name is copied like any other literal code unit; a name
// too long for its buffer is still read to its "}" and then, since no known
// name is that long, rejected as unknown.
bool expandUnpackSpec(wchar_t* output, const wchar_t* spec, std::size_t capacity) {
    if (capacity == 0) {
        boundsFailure();
    }
    output[0] = L'\0';
    Output out{output, 0, capacity};
    wchar_t name[kNameCapacity];
    std::size_t nameLength = 0;
    bool nameTooLong = false;
    bool inName = false;
    for (const wchar_t* unit = spec; *unit != L'\0'; ++unit) {
        if (*unit == L'{') {
            // Braces do not nest: a name being collected is dropped.
            inName = true;
            nameLength = 0;
            nameTooLong = false;
            name[0] = L'\0';
        } else if (inName && *unit == L'}') {
            inName = false;
            if (nameTooLong || !appendPlaceholder(out, lookUpPlaceholder(name))) {
                return false;
            }
        } else if (inName) {
            if (nameLength + 1 < kNameCapacity) {
                name[nameLength] = *unit;
                ++nameLength;
                name[nameLength] = L'\0';
            } else {
                nameTooLong = true;
            }
        } else if (!appendLiteral(out, *unit)) {
            return false;
        }
    }
    // An unclosed name is dropped; the output is terminated at every step.
    return true;
}

void appendWide(wchar_t* target, const wchar_t* source, std::size_t capacity) {
    if (source == nullptr) {
        abort();
    }
    std::size_t length = boundedLength(target, capacity);
    for (const wchar_t* unit = source; *unit != L'\0'; ++unit) {
        appendUnit(target, &length, capacity, *unit);
    }
    target[length] = L'\0';
}

void appendNarrowAsWide(wchar_t* target, const char* source, std::size_t capacity) {
    if (source == nullptr) {
        abort();
    }
    std::size_t length = boundedLength(target, capacity);
    for (const char* cursor = source; *cursor != '\0'; ++cursor) {
        const char single[kSingleCharacterCapacity] = {*cursor, '\0'};
        wchar_t converted[kSingleCharacterCapacity] = {};
        if (mbstowcs(converted, single, kSingleCharacterCapacity) != 1) {
            abort();
        }
        appendUnit(target, &length, capacity, converted[0]);
    }
    target[length] = L'\0';
}

void appendCurrentProcessId(wchar_t* target, std::size_t capacity) {
    char narrow[kProcessIdTextCapacity];
    // The runtime's own formatting (the standard snprintf brings MinGW's
    // printf into the executable); it may leave a full buffer unterminated.
    narrow[kProcessIdTextCapacity - 1] = '\0';
    _snprintf(narrow, kProcessIdTextCapacity - 1, "%ld", static_cast<long>(GetCurrentProcessId()));
    appendNarrowAsWide(target, narrow, capacity);
}
