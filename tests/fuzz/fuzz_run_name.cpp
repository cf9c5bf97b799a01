// Directory names as the sweep reads them: a name is taken for a run's only
// when it is exactly what the unpack spec writes for some process id and
// start time, so formatting what was parsed gives the name back; and every
// name formatted from a process id and a time in range parses back to them.
//
// Input: the first 12 bytes are a process id (31 bits) and a start time
// (63 bits), little-endian, to format and parse; the rest are UTF-16LE
// units of a name to parse.
#include <cstddef>
#include <cstdint>
#include <string>

#include "launcher/run_name.h"
#include "resources/product.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::size_t kNumbersSize = 12;

std::uint64_t littleEndian(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t index = count; index-- > 0;) {
        value = (value << 8) | bytes[index];
    }
    return value;
}

std::wstring formatted(std::uint32_t processId, std::uint64_t startTime) {
    return std::wstring(product::kRunDirectoryPrefix) + std::to_wstring(processId) + L"_" +
           std::to_wstring(startTime);
}

void checkFormattedNameParses(const std::uint8_t* data) {
    const auto processId = static_cast<std::uint32_t>(littleEndian(data, 4) & 0x7FFFFFFF);
    const std::uint64_t startTime = littleEndian(data + 4, 8) & 0x7FFFFFFFFFFFFFFF;
    RunName run{};
    failWhen(!parseRunDirectoryName(formatted(processId, startTime).c_str(), &run),
             "a formatted name was refused");
    failWhen(run.processId != processId || run.startTime != startTime,
             "a formatted name parsed to other numbers");
}

void checkParsedNameFormatsBack(const std::uint8_t* data, std::size_t size) {
    std::wstring name;
    for (std::size_t at = 0; at + 1 < size; at += 2) {
        const auto unit = static_cast<wchar_t>(data[at] | (data[at + 1] << 8));
        if (unit == 0) {
            break;
        }
        name.push_back(unit);
    }
    RunName run{};
    if (parseRunDirectoryName(name.c_str(), &run)) {
        failWhen(formatted(run.processId, run.startTime) != name,
                 "a name taken for a run's is not what the unpack spec writes");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kNumbersSize) {
        return 0;
    }
    checkFormattedNameParses(data);
    checkParsedNameFormatsBack(data + kNumbersSize, size - kNumbersSize);
    return 0;
}
