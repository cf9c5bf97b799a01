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
#include "paths/wide_text.h"
#include "system/system_calls.h"
#include "resources/product.h"

namespace {

constexpr std::size_t kNameCapacity = 1024;              // placeholder name, terminator included
constexpr std::size_t kScratchCapacity = 1024;           // folder paths and the time as text
constexpr wctype_t kDigitClass = 4;                      // the runtime's _DIGIT class
constexpr int kProfileFolder = CSIDL_PROFILE;            // 40
constexpr int kLocalAppDataFolder = CSIDL_LOCAL_APPDATA; // 28
constexpr wchar_t kProgramTemplate[] = L"{PROGRAM}";
constexpr wchar_t kExecutableSuffix[] = L".exe";
constexpr std::size_t kExecutableSuffixLength = 4;
constexpr std::size_t kMaximumStartTimeDigits = 20;

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

void removeTrailingBackslashes(WideText* output) {
    std::size_t length = output->length;
    while (length > 0 && output->buffer[length - 1] == L'\\') {
        --length;
    }
    truncateWideText(output, length);
}

Placeholder lookUpPlaceholder(const wchar_t* name) {
    for (const KnownName& known : kKnownNames) {
        if (_wcsicmp(name, known.name) == 0) {
            return known.placeholder;
        }
    }
    return Placeholder::unknown;
}

void appendTemporaryDirectory(WideText* output) {
    const std::size_t room = wideTextRoom(*output);
    const DWORD length = room > MAXDWORD ? MAXDWORD : static_cast<DWORD>(room);
    // The return value is not needed: a path that does not fit, or no path
    // at all, leaves the first code unit 0 and so adds nothing.
    systemCalls.getTempPath(length, wideTextEnd(*output));
    adoptWrittenText(output);
    removeTrailingBackslashes(output);
}

bool appendFolder(WideText* output, int folder) {
    wchar_t scratch[kScratchCapacity];
    scratch[0] = L'\0';
    // API oddity: S_FALSE is a success code but means the folder does not
    // exist, so only S_OK counts.
    if (systemCalls.getFolderPath(nullptr, folder, nullptr, 0, scratch) != S_OK) {
        return false;
    }
    const WideText path = continueWideText(scratch, kScratchCapacity);
    appendWideUnits(output, path.buffer, path.length);
    removeTrailingBackslashes(output);
    return true;
}

void appendProgram(WideText* output) {
    if (__wargv == nullptr || __argc < 1 || __wargv[0] == nullptr) {
        abnormalEnd();
    }
    appendWide(output, __wargv[0]);
}

// Expands {PROGRAM} in place at the end of output; returns where its text
// starts, or null when it cannot be expanded.
const wchar_t* appendNestedProgram(WideText* output) {
    const std::size_t start = output->length;
    if (!expandUnpackSpec(wideTextEnd(*output), kProgramTemplate, wideTextRoom(*output))) {
        return nullptr;
    }
    adoptWrittenText(output);
    return output->buffer + start;
}

// {PROGRAM_BASE}: the program less a final ".exe" in any case.
bool appendProgramBase(WideText* output) {
    const wchar_t* const program = appendNestedProgram(output);
    if (program == nullptr) {
        return false;
    }
    const wchar_t* const end = wideTextEnd(*output);
    if (static_cast<std::size_t>(end - program) >= kExecutableSuffixLength &&
        _wcsicmp(end - kExecutableSuffixLength, kExecutableSuffix) == 0) {
        truncateWideText(output, output->length - kExecutableSuffixLength);
    }
    return true;
}

// {PROGRAM_DIR}: the program cut at its last backslash, whole without one.
bool appendProgramDirectory(WideText* output) {
    const wchar_t* const program = appendNestedProgram(output);
    if (program == nullptr) {
        return false;
    }
    const wchar_t* const lastBackslash = wcsrchr(program, L'\\');
    if (lastBackslash != nullptr) {
        truncateWideText(output, static_cast<std::size_t>(lastBackslash - output->buffer));
    }
    return true;
}

// {PID}: the parent's identifier when it has published one (the child's
// case and the parent's own), else this process's.
void appendProcessId(WideText* output) {
    wchar_t* const inherited = getEnvironmentValueA(environment::kParent);
    if (inherited != nullptr) {
        for (const wchar_t* unit = inherited; *unit != L'\0'; ++unit) {
            if (iswctype(*unit, kDigitClass) == 0) {
                abnormalEnd();
            }
        }
        appendWide(output, inherited);
        free(inherited);
        return;
    }
    appendCurrentProcessId(output);
}

// A published start time that can name nothing but one directory: 1 to
// 20 ASCII digits (a 64-bit count has at most 20). Anything else could
// carry separators or "..", and steer the target directory elsewhere.
bool isStartTimeText(const wchar_t* text) {
    std::size_t digits = 0;
    for (const wchar_t* unit = text; *unit != L'\0'; ++unit) {
        if (*unit < L'0' || *unit > L'9' || ++digits > kMaximumStartTimeDigits) {
            return false;
        }
    }
    return digits > 0;
}

// {TIME}: the first use in a process tree fixes the value in
// TAMBRO_ONEFILE_START, so that the child derives the same directory. An
// inherited value that is not a start time counts as absent and is
// replaced.
void appendStartTime(WideText* output) {
    wchar_t* const published = getEnvironmentValueA(environment::kStart);
    if (published != nullptr && isStartTimeText(published)) {
        appendWide(output, published);
        free(published);
        return;
    }
    free(published);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    wchar_t scratch[kScratchCapacity];
    scratch[kScratchCapacity - 1] = L'\0';
    _snwprintf(scratch, kScratchCapacity - 1, L"%lld", static_cast<long long>(ticks));
    setEnvironmentValueA(environment::kStart, scratch);
    appendWide(output, scratch);
}

bool appendPlaceholder(WideText* output, Placeholder placeholder) {
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
        appendWide(output, product::kCompany);
        return true;
    case Placeholder::productName:
        appendWide(output, product::kProduct);
        return true;
    case Placeholder::version:
        appendWide(output, product::kVersion);
        return true;
    case Placeholder::time:
        appendStartTime(output);
        return true;
    case Placeholder::unknown:
        break;
    }
    return false;
}

} // namespace

// A "}" outside a name is copied like any other literal code unit; a name
// too long for its buffer is still read to its "}" and then, since no known
// name is that long, rejected as unknown.
bool expandUnpackSpec(wchar_t* output, const wchar_t* spec, std::size_t capacity) {
    WideText out = startWideText(output, capacity);
    wchar_t nameBuffer[kNameCapacity];
    WideText name = startWideText(nameBuffer, kNameCapacity);
    bool nameTooLong = false;
    bool inName = false;
    for (const wchar_t* unit = spec; *unit != L'\0'; ++unit) {
        if (*unit == L'{') {
            // Braces do not nest: a name being collected is dropped.
            inName = true;
            name = startWideText(nameBuffer, kNameCapacity);
            nameTooLong = false;
        } else if (inName && *unit == L'}') {
            inName = false;
            if (nameTooLong || !appendPlaceholder(&out, lookUpPlaceholder(nameBuffer))) {
                return false;
            }
        } else if (inName) {
            if (!tryAppendWideUnits(&name, unit, 1)) {
                nameTooLong = true;
            }
        } else if (!tryAppendWideUnits(&out, unit, 1)) {
            // Literal text that does not fit is the one overflow that fails
            // softly.
            return false;
        }
    }
    // An unclosed name is dropped; the output is terminated at every step.
    return true;
}
