#include "tests/native/support/entry_walk.h"

#include "diagnostics/diagnostics.h"
#include "payload/attached_data.h"
#include "payload/entry_names.h"
#include "payload/entry_stream.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "tests/native/support/launcher_exit.h"

namespace native_support {
namespace {

// The launcher's fixed buffers, the same sizes, also static.
wchar_t entryName[attached::kNameCapacity];
unsigned char dataChunk[attached::kDataChunkSize];

WalkedEntry readEntryBody() {
    WalkedEntry entry;
    for (const wchar_t* unit = entryName; *unit != 0; ++unit) {
        entry.name.push_back(static_cast<char16_t>(*unit));
    }
    if (!isSafeEntryName(entryName)) {
        fatalError(kDecodeMessage);
    }
    entry.size = readEntrySize();
    entry.digest = kEmptyDigest;
    for (std::uint64_t remaining = entry.size; remaining > 0;) {
        const std::size_t chunk =
            remaining < attached::kDataChunkSize ? remaining : attached::kDataChunkSize;
        readAttachedBytes(dataChunk, chunk);
        const auto* const text = reinterpret_cast<const char*>(dataChunk);
        entry.digest = dataDigest(std::string_view(text, chunk), entry.digest);
        remaining -= chunk;
    }
    return entry;
}

} // namespace

WalkResult walkAttachedData(const unsigned char* data, std::size_t size) {
    WalkResult result;
    bool readerCreated = false;
    try {
        if (!hasAttachedDataHeader(AttachedData{data, size})) {
            fatalError(kHeaderMessage);
        }
        createReader(data + attached::kHeaderSize, size - attached::kHeaderSize);
        readerCreated = true;
        while (readEntryName(entryName, attached::kNameCapacity)) {
            result.entries.push_back(readEntryBody());
        }
        finishAttachedFrame();
    } catch (const LauncherExit& exit) {
        result.exitCode = exit.exitCode;
        result.message = exit.message;
    }
    if (readerCreated) {
        releaseReader();
    }
    return result;
}

WalkResult walkAttachedData(std::string_view data) {
    return walkAttachedData(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

} // namespace native_support
