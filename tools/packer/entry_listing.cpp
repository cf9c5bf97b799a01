#include "tools/packer/entry_listing.h"

#include <zstd.h>

#include <cstring>
#include <memory>

#include "payload/format.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/system_text.h"

namespace packer {
namespace {

constexpr std::size_t kNameUnitLimit = attached::kNameCapacity - 1;

[[noreturn]] void damaged(const std::wstring& reason) {
    throw PackError(L"damaged attached data: " + reason);
}

// Walks the entry stream as it is decompressed: a name (two bytes per code
// unit up to a 0 unit), an 8-byte size, then that many data bytes. Pieces
// may end anywhere, even inside a code unit.
class EntryStreamParser {
  public:
    explicit EntryStreamParser(std::vector<ListedEntry>* entries) : entries_(entries) {}

    void feed(const unsigned char* bytes, std::size_t size) {
        std::size_t used = 0;
        while (used < size) {
            used += step(bytes + used, size - used);
        }
    }

    // Where the stream stopped, when the frame ended: "" when complete.
    std::wstring incompleteReason() const {
        switch (state_) {
        case State::Ended:
            return L"";
        case State::Size:
            return L"the frame ends inside the size of entry " + entryNumber();
        case State::Data:
            return L"the frame ends inside the data of entry " + entryNumber();
        case State::Name:
            break;
        }
        return L"the frame ends before the end marker";
    }

  private:
    enum class State { Name, Size, Data, Ended };

    std::wstring entryNumber() const { return std::to_wstring(entries_->size()); }

    // Consumes what it can of one field; returns the bytes used (at least 1).
    std::size_t step(const unsigned char* bytes, std::size_t size) {
        switch (state_) {
        case State::Name:
            return takeNameByte(bytes[0]);
        case State::Size:
            return takeSizeByte(bytes[0]);
        case State::Data:
            return takeData(size);
        case State::Ended:
            break;
        }
        damaged(L"bytes follow the end marker");
    }

    std::size_t takeNameByte(unsigned char byte) {
        if (!lowByteHeld_) {
            lowByte_ = byte;
            lowByteHeld_ = true;
            return 1;
        }
        lowByteHeld_ = false;
        const auto unit = static_cast<char16_t>(lowByte_ | (byte << 8));
        if (unit != 0) {
            if (name_.size() == kNameUnitLimit) {
                damaged(L"entry " + std::to_wstring(entries_->size() + 1) +
                        L" has a name of 1024 code units or more");
            }
            name_.push_back(unit);
            return 1;
        }
        if (name_.empty()) {
            state_ = State::Ended;
            return 1;
        }
        entries_->push_back(ListedEntry{name_, 0});
        name_.clear();
        sizeBytes_ = 0;
        state_ = State::Size;
        return 1;
    }

    std::size_t takeSizeByte(unsigned char byte) {
        entries_->back().size |= static_cast<std::uint64_t>(byte) << (8 * sizeBytes_);
        ++sizeBytes_;
        if (sizeBytes_ == attached::kSizeFieldSize) {
            remaining_ = entries_->back().size;
            state_ = remaining_ == 0 ? State::Name : State::Data;
        }
        return 1;
    }

    std::size_t takeData(std::size_t size) {
        const std::size_t used = remaining_ < size ? static_cast<std::size_t>(remaining_) : size;
        remaining_ -= used;
        if (remaining_ == 0) {
            state_ = State::Name;
        }
        return used;
    }

    std::vector<ListedEntry>* entries_;
    State state_ = State::Name;
    std::u16string name_;
    unsigned char lowByte_ = 0;
    bool lowByteHeld_ = false;
    std::size_t sizeBytes_ = 0;
    std::uint64_t remaining_ = 0;
};

struct DecompressionContextFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

void checkHeader(std::string_view attachedData) {
    if (attachedData.size() < attached::kHeaderSize ||
        std::memcmp(attachedData.data(), attached::kHeader, attached::kHeaderSize) != 0) {
        damaged(L"it does not start with 'K' 'A' 'Y'");
    }
}

} // namespace

std::vector<ListedEntry> listAttachedEntries(std::string_view attachedData) {
    checkHeader(attachedData);
    const std::unique_ptr<ZSTD_DCtx, DecompressionContextFree> context(ZSTD_createDCtx());
    if (!context) {
        throw PackError(L"cannot create a zstd decompression context");
    }
    std::vector<ListedEntry> entries;
    EntryStreamParser parser(&entries);
    std::vector<unsigned char> output(ZSTD_DStreamOutSize());
    ZSTD_inBuffer input{attachedData.data() + attached::kHeaderSize,
                        attachedData.size() - attached::kHeaderSize, 0};
    for (;;) {
        ZSTD_outBuffer out{output.data(), output.size(), 0};
        const std::size_t result = ZSTD_decompressStream(context.get(), &out, &input);
        if (ZSTD_isError(result)) {
            damaged(L"the frame does not decode (" + fromUtf8(ZSTD_getErrorName(result)) + L")");
        }
        parser.feed(output.data(), out.pos);
        if (result == 0) {
            break; // the frame is complete; what follows it is padding
        }
        if (input.pos == input.size && out.pos < out.size) {
            damaged(L"the frame is cut short");
        }
    }
    const std::wstring reason = parser.incompleteReason();
    if (!reason.empty()) {
        damaged(reason);
    }
    return entries;
}

} // namespace packer
