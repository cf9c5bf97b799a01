// Arbitrary UTF-16 arguments quoted into a command line: split again by the
// rules of CommandLineToArgvW and of the runtime library, every argument,
// the empty ones included, comes back unchanged and in place. With a tight capacity the quoting
// either fits exactly or ends with the bounds failure, and never writes past it.
//
// Input: byte 0 odd asks for a tight capacity of byte 1 units; the rest are
// UTF-16LE units, a 0 unit separating arguments.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "tests/native/support/argument_splitting.h"
#include "tests/native/support/launcher_exit.h"

namespace {

std::vector<std::wstring> argumentsOf(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> arguments(1);
    for (std::size_t at = 0; at + 1 < size; at += 2) {
        const auto unit = static_cast<wchar_t>(data[at] | (data[at + 1] << 8));
        if (unit == 0) {
            arguments.emplace_back();
        } else {
            arguments.back().push_back(unit);
        }
    }
    return arguments;
}

void checkTightCapacity(const std::vector<std::wstring>& arguments, const std::wstring& line,
                        std::size_t capacity) {
    try {
        const std::wstring tight = native_support::quoteArguments(arguments, capacity);
        failWhen(tight != line || line.size() + 1 > capacity, "a tight buffer gave another line");
    } catch (const native_support::LauncherExit& exit) {
        failWhen(exit.exitCode != native_support::kAbnormalExitCode, "not a bounds failure");
        failWhen(line.size() + 1 <= capacity, "a bounds failure although the line fits");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kSettings = 2;
    if (size < kSettings) {
        return 0;
    }
    const std::vector<std::wstring> arguments = argumentsOf(data + kSettings, size - kSettings);
    std::size_t longest = 0;
    for (const std::wstring& argument : arguments) {
        longest += 2 * argument.size() + 3;
    }
    const std::wstring line = native_support::quoteArguments(arguments, longest + 1);
    for (const auto rules : {native_support::SplitRules::commandLineToArgv,
                             native_support::SplitRules::runtimeLibrary}) {
        failWhen(native_support::splitArguments(line, rules) != arguments,
                 "the arguments did not survive the round trip");
    }
    if ((data[0] & 1) != 0) {
        checkTightCapacity(arguments, line, 1 + std::size_t{data[1]});
    }
    return 0;
}
