// The unpack spec's system values on Linux: the variables that say where
// things go ($TMPDIR, $HOME, $XDG_CACHE_HOME), taken only when they hold an
// absolute path, and the system's defaults otherwise.
#include "paths/spec_values.h"

#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "diagnostics/diagnostics.h"
#include "paths/own_program.h"

namespace {

constexpr char kDefaultTemporaryDirectory[] = "/tmp";
constexpr char kCacheBelowHome[] = "/.cache";
constexpr std::size_t kAccountBufferSize = 16384;
// From 1601-01-01 to 1970-01-01, in seconds; the count is in 100 ns.
constexpr long long kSecondsFrom1601To1970 = 11644473600LL;
constexpr long long kTicksPerSecond = 10000000LL;
constexpr long long kNanosecondsPerTick = 100;

// The variable's value when it is an absolute path, else null. A relative
// one would name another place for every current directory.
const char* absolutePathIn(const char* variable) {
    const char* const value = getenv(variable);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

// $HOME, else the account's home directory.
bool appendHome(PathText* output) {
    const char* const home = absolutePathIn("HOME");
    if (home != nullptr) {
        appendText(output, home);
        return true;
    }
    passwd account{};
    passwd* found = nullptr;
    char buffer[kAccountBufferSize];
    if (getpwuid_r(getuid(), &account, buffer, sizeof(buffer), &found) != 0 || found == nullptr ||
        account.pw_dir == nullptr || account.pw_dir[0] != '/') {
        return false;
    }
    appendText(output, static_cast<const char*>(account.pw_dir));
    return true;
}

} // namespace

void appendCurrentProcessId(PathText* text) {
    char digits[kProcessIdTextCapacity];
    snprintf(digits, sizeof(digits), "%ld", static_cast<long>(getpid()));
    appendText(text, static_cast<const char*>(digits));
}

void appendTemporaryDirectory(PathText* output) {
    const char* const configured = absolutePathIn("TMPDIR");
    const char* const directory = configured != nullptr ? configured : kDefaultTemporaryDirectory;
    // Like GetTempPathW, a directory that does not fit adds nothing.
    static_cast<void>(tryAppendUnits(output, directory, strlen(directory)));
}

bool appendUserFolder(PathText* output, UserFolder folder) {
    if (folder == UserFolder::cache) {
        const char* const cache = absolutePathIn("XDG_CACHE_HOME");
        if (cache != nullptr) {
            appendText(output, cache);
            return true;
        }
    }
    if (!appendHome(output)) {
        return false;
    }
    if (folder == UserFolder::cache) {
        std::size_t length = output->length;
        while (length > 0 && output->buffer[length - 1] == '/') {
            --length;
        }
        truncateText(output, length);
        appendText(output, kCacheBelowHome);
    }
    return true;
}

void appendProgram(PathText* output) {
    const ProgramArguments arguments = programArguments();
    if (arguments.count < 1 || arguments.vector == nullptr || arguments.vector[0] == nullptr) {
        abnormalEnd();
    }
    appendText(output, static_cast<const char*>(arguments.vector[0]));
}

bool isProcessIdDigit(char unit) {
    return unit >= '0' && unit <= '9';
}

void formatCurrentTime(char* text, std::size_t capacity) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const long long ticks =
        (static_cast<long long>(now.tv_sec) + kSecondsFrom1601To1970) * kTicksPerSecond +
        static_cast<long long>(now.tv_nsec) / kNanosecondsPerTick;
    snprintf(text, capacity, "%lld", ticks);
}
