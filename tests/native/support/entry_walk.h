// The launcher's entry loop without the disk, for the native tests and fuzz
// targets: the header check, the reader, names two bytes at a time with the
// 1024-unit limit, the name check, the size field and the data in 32 KiB
// reads, in the order and with the failures of launcher/unpack.cpp. File
// data is digested instead of written.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_ENTRY_WALK_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_ENTRY_WALK_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace native_support {

inline constexpr char kHeaderMessage[] = "Error, couldn't find attached data header.";
inline constexpr char kDecodeMessage[] = "Error, couldn't decode attached data.";

struct WalkedEntry {
    std::u16string name;
    std::uint64_t size = 0;
    std::uint64_t digest = 0; // dataDigest of the entry's bytes

    bool operator==(const WalkedEntry&) const = default;
};

struct WalkResult {
    int exitCode = 0;    // 0: the end marker was reached; else the launcher's exit code
    std::string message; // the launcher's message when it ended
    std::vector<WalkedEntry> entries; // every entry whose data was read completely
};

// FNV-1a over bytes, continuing from digest (start with kEmptyDigest).
inline constexpr std::uint64_t kEmptyDigest = 14695981039346656037ull;
inline std::uint64_t dataDigest(std::string_view bytes, std::uint64_t digest = kEmptyDigest) {
    constexpr std::uint64_t kFnvPrime = 1099511628211ull;
    for (const char byte : bytes) {
        digest = (digest ^ static_cast<unsigned char>(byte)) * kFnvPrime;
    }
    return digest;
}

// Walks attached data (header, frame, entry stream, the frame's end) as the
// parent does.
// With the diagnostics seam linked, every ending of the launcher comes back
// as exitCode and message, and the reader is released in every case; with
// the real diagnostics the process ends as the launcher's would.
WalkResult walkAttachedData(const unsigned char* data, std::size_t size);
WalkResult walkAttachedData(std::string_view data);

} // namespace native_support

#endif
