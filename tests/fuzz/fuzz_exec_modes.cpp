// Arbitrary bytes as an executable-entries record. A record that is taken
// must be exactly what the packer writes for its indices (nothing ignored,
// nothing read past the input), and the lookup must find every listed entry
// and nothing between them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/exec_modes.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/packer/linux_package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    exec_modes::Record record{};
    if (!exec_modes::parseRecord(data, size, &record)) {
        return 0;
    }
    std::vector<std::uint32_t> indices;
    for (std::size_t position = 0; position < record.count; ++position) {
        indices.push_back(exec_modes::indexAt(record, position));
        failWhen(!exec_modes::isExecutable(record, indices.back()), "a listed entry is not found");
        const std::uint32_t before = indices.back() - 1;
        const bool beforeListed = position > 0 && indices[position - 1] == before;
        failWhen(indices.back() > 0 && !beforeListed && exec_modes::isExecutable(record, before),
                 "an entry that is not listed is found");
    }
    failWhen(packer::executableEntriesRecord(indices) !=
                 std::string(reinterpret_cast<const char*>(data), size),
             "a taken record is not exactly its indices");
    const std::uint64_t last = indices.empty() ? 0 : std::uint64_t{indices.back()} + 1;
    failWhen(!exec_modes::fitsEntries(record, last), "the record does not fit its own entries");
    failWhen(!indices.empty() && exec_modes::fitsEntries(record, last - 1),
             "the record fits one entry too few");
    return 0;
}
