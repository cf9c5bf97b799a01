// Template expansion: a scanner that copies literal text and replaces each
// {NAME} with its value, writing straight into the caller's buffer. Every
// buffer is local to the call, so nested expansions ({PROGRAM_BASE} and
// {PROGRAM_DIR} expand "{PROGRAM}") need nothing shared. The values that
// come from the system are paths/spec_values.h's.
#include "paths/unpack_spec.h"

#include <stdlib.h>

#include "diagnostics/diagnostics.h"
#include "paths/environment.h"
#include "paths/spec_values.h"
#include "resources/product.h"

namespace {

constexpr std::size_t kNameCapacity = 1024; // placeholder name, terminator included
constexpr PathUnit kProgramTemplate[] = PATH_TEXT("{PROGRAM}");
constexpr PathUnit kExecutableSuffix[] = PATH_TEXT(".exe");
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
    const PathUnit* name;
    Placeholder placeholder;
};

// Looked up in this order.
constexpr KnownName kKnownNames[] = {
    {PATH_TEXT("TEMP"), Placeholder::temp},
    {PATH_TEXT("PROGRAM"), Placeholder::program},
    {PATH_TEXT("PROGRAM_BASE"), Placeholder::programBase},
    {PATH_TEXT("PROGRAM_DIR"), Placeholder::programDir},
    {PATH_TEXT("PID"), Placeholder::processId},
    {PATH_TEXT("HOME"), Placeholder::home},
    {PATH_TEXT("CACHE_DIR"), Placeholder::cacheDir},
    {PATH_TEXT("COMPANY"), Placeholder::company},
    {PATH_TEXT("PRODUCT"), Placeholder::productName},
    {PATH_TEXT("VERSION"), Placeholder::version},
    {PATH_TEXT("TIME"), Placeholder::time},
};

PathUnit lowerAscii(PathUnit unit) {
    return unit >= 'A' && unit <= 'Z' ? static_cast<PathUnit>(unit - 'A' + 'a') : unit;
}

// Equal but for the case of ASCII letters.
bool equalIgnoringAsciiCase(const PathUnit* first, const PathUnit* second) {
    for (;; ++first, ++second) {
        if (lowerAscii(*first) != lowerAscii(*second)) {
            return false;
        }
        if (*first == PathUnit{0}) {
            return true;
        }
    }
}

void removeTrailingSeparators(PathText* output) {
    std::size_t length = output->length;
    while (length > 0 && output->buffer[length - 1] == kPathSeparator) {
        --length;
    }
    truncateText(output, length);
}

Placeholder lookUpPlaceholder(const PathUnit* name) {
    for (const KnownName& known : kKnownNames) {
        if (equalIgnoringAsciiCase(name, known.name)) {
            return known.placeholder;
        }
    }
    return Placeholder::unknown;
}

bool appendFolder(PathText* output, UserFolder folder) {
    if (!appendUserFolder(output, folder)) {
        return false;
    }
    removeTrailingSeparators(output);
    return true;
}

// Expands {PROGRAM} in place at the end of output; returns where its text
// starts, or null when it cannot be expanded.
const PathUnit* appendNestedProgram(PathText* output) {
    const std::size_t start = output->length;
    if (!expandUnpackSpec(textEnd(*output), kProgramTemplate, textRoom(*output))) {
        return nullptr;
    }
    adoptWrittenText(output);
    return output->buffer + start;
}

// {PROGRAM_BASE}: the program less a final ".exe" in any case.
bool appendProgramBase(PathText* output) {
    const PathUnit* const program = appendNestedProgram(output);
    if (program == nullptr) {
        return false;
    }
    const PathUnit* const end = textEnd(*output);
    if (static_cast<std::size_t>(end - program) >= kExecutableSuffixLength &&
        equalIgnoringAsciiCase(end - kExecutableSuffixLength, kExecutableSuffix)) {
        truncateText(output, output->length - kExecutableSuffixLength);
    }
    return true;
}

// {PROGRAM_DIR}: the program cut at its last separator, whole without one.
bool appendProgramDirectory(PathText* output) {
    const PathUnit* const program = appendNestedProgram(output);
    if (program == nullptr) {
        return false;
    }
    const PathUnit* lastSeparator = nullptr;
    for (const PathUnit* unit = program; *unit != PathUnit{0}; ++unit) {
        if (*unit == kPathSeparator) {
            lastSeparator = unit;
        }
    }
    if (lastSeparator != nullptr) {
        truncateText(output, static_cast<std::size_t>(lastSeparator - output->buffer));
    }
    return true;
}

// {PID}: the parent's identifier when it has published one (the child's
// case and the parent's own), else this process's.
void appendProcessId(PathText* output) {
    PathUnit* const inherited = getEnvironmentValueA(environment::kParent);
    if (inherited != nullptr) {
        for (const PathUnit* unit = inherited; *unit != PathUnit{0}; ++unit) {
            if (!isProcessIdDigit(*unit)) {
                free(inherited);
                abnormalEnd();
            }
        }
        appendText(output, static_cast<const PathUnit*>(inherited));
        free(inherited);
        return;
    }
    appendCurrentProcessId(output);
}

// A published start time that can name nothing but one directory: 1 to
// 20 ASCII digits (a 64-bit count has at most 20). Anything else could
// carry separators or "..", and steer the target directory elsewhere.
bool isStartTimeText(const PathUnit* text) {
    std::size_t digits = 0;
    for (const PathUnit* unit = text; *unit != PathUnit{0}; ++unit) {
        if (*unit < '0' || *unit > '9' || ++digits > kMaximumStartTimeDigits) {
            return false;
        }
    }
    return digits > 0;
}

// {TIME}: the first use in a process tree fixes the value in
// TAMBRO_ONEFILE_START, so that the child derives the same directory. An
// inherited value that is not a start time counts as absent and is
// replaced.
void appendStartTime(PathText* output) {
    PathUnit* const published = getEnvironmentValueA(environment::kStart);
    if (published != nullptr && isStartTimeText(published)) {
        appendText(output, static_cast<const PathUnit*>(published));
        free(published);
        return;
    }
    free(published);
    PathUnit now[kStartTimeCapacity];
    formatCurrentTime(now, kStartTimeCapacity);
    setEnvironmentValueA(environment::kStart, now);
    appendText(output, static_cast<const PathUnit*>(now));
}

bool appendPlaceholder(PathText* output, Placeholder placeholder) {
    switch (placeholder) {
    case Placeholder::temp:
        appendTemporaryDirectory(output);
        removeTrailingSeparators(output);
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
        return appendFolder(output, UserFolder::home);
    case Placeholder::cacheDir:
        return appendFolder(output, UserFolder::cache);
    case Placeholder::company:
        appendText(output, product::kCompany);
        return true;
    case Placeholder::productName:
        appendText(output, product::kProduct);
        return true;
    case Placeholder::version:
        appendText(output, product::kVersion);
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

void publishOwnProcessId() {
    PathUnit text[kProcessIdTextCapacity];
    PathText id = startText(text, kProcessIdTextCapacity);
    appendCurrentProcessId(&id);
    setEnvironmentValueA(environment::kParent, text);
}

// A "}" outside a name is copied like any other literal code unit; a name
// too long for its buffer is still read to its "}" and then, since no known
// name is that long, rejected as unknown.
bool expandUnpackSpec(PathUnit* output, const PathUnit* spec, std::size_t capacity) {
    PathText out = startText(output, capacity);
    PathUnit nameBuffer[kNameCapacity];
    PathText name = startText(nameBuffer, kNameCapacity);
    bool nameTooLong = false;
    bool inName = false;
    for (const PathUnit* unit = spec; *unit != PathUnit{0}; ++unit) {
        if (*unit == '{') {
            // Braces do not nest: a name being collected is dropped.
            inName = true;
            name = startText(nameBuffer, kNameCapacity);
            nameTooLong = false;
        } else if (inName && *unit == '}') {
            inName = false;
            if (nameTooLong || !appendPlaceholder(&out, lookUpPlaceholder(nameBuffer))) {
                return false;
            }
        } else if (inName) {
            if (!tryAppendUnits(&name, unit, 1)) {
                nameTooLong = true;
            }
        } else if (!tryAppendUnits(&out, unit, 1)) {
            // Literal text that does not fit is the one overflow that fails
            // softly.
            return false;
        }
    }
    // An unclosed name is dropped; the output is terminated at every step.
    return true;
}
