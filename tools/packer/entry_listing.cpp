#include "tools/packer/entry_listing.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "payload/entry_names.h"
#include "payload/format.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::size_t kNameUnitLimit = attached::kNameCapacity - 1;

[[noreturn]] void damaged(const std::string& reason) {
    throw PackError("damaged attached data: " + reason);
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
    std::string incompleteReason() const {
        switch (state_) {
        case State::ended:
            return "";
        case State::size:
            return "the frame ends inside the size of entry " + entryNumber();
        case State::data:
            return "the frame ends inside the data of entry " + entryNumber();
        case State::name:
            break;
        }
        return "the frame ends before the end marker";
    }

  private:
    enum class State { name, size, data, ended };

    std::string entryNumber() const { return std::to_string(entries_->size()); }

    // Consumes what it can of one field; returns the bytes used (at least 1).
    std::size_t step(const unsigned char* bytes, std::size_t size) {
        switch (state_) {
        case State::name:
            return takeNameByte(bytes[0]);
        case State::size:
            return takeSizeByte(bytes[0]);
        case State::data:
            return takeData(size);
        case State::ended:
            break;
        }
        damaged("bytes follow the end marker");
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
                damaged("entry " + std::to_string(entries_->size() + 1) +
                        " has a name of 1024 code units or more");
            }
            name_.push_back(unit);
            return 1;
        }
        if (name_.empty()) {
            state_ = State::ended;
            return 1;
        }
        if (findEntryNameProblem(name_.c_str()) != EntryNameProblem::none) {
            damaged("entry " + std::to_string(entries_->size() + 1) +
                    " has a name that the launcher refuses: '" + oneLine(utf16ToUtf8(name_)) + "'");
        }
        entries_->push_back(ListedEntry{name_, 0});
        name_.clear();
        sizeBytes_ = 0;
        state_ = State::size;
        return 1;
    }

    std::size_t takeSizeByte(unsigned char byte) {
        entries_->back().size |= static_cast<std::uint64_t>(byte) << (8 * sizeBytes_);
        ++sizeBytes_;
        if (sizeBytes_ == attached::kSizeFieldSize) {
            remaining_ = entries_->back().size;
            state_ = remaining_ == 0 ? State::name : State::data;
        }
        return 1;
    }

    std::size_t takeData(std::size_t size) {
        const std::size_t used = remaining_ < size ? static_cast<std::size_t>(remaining_) : size;
        remaining_ -= used;
        if (remaining_ == 0) {
            state_ = State::name;
        }
        return used;
    }

    std::vector<ListedEntry>* entries_;
    State state_ = State::name;
    std::u16string name_;
    unsigned char lowByte_ = 0;
    bool lowByteHeld_ = false;
    std::size_t sizeBytes_ = 0;
    std::uint64_t remaining_ = 0;
};

struct DecompressionContextFree {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

void checkHeader(const ByteSource& source, std::uint64_t offset, std::uint64_t size) {
    unsigned char header[attached::kHeaderSize] = {};
    if (size >= attached::kHeaderSize) {
        source.read(offset, header, sizeof header);
    }
    if (size < attached::kHeaderSize ||
        std::memcmp(header, attached::kHeader, attached::kHeaderSize) != 0) {
        damaged("it does not start with 'K' 'A' 'Y'");
    }
}

// The frame's bytes, read from the source a piece at a time.
class FrameInput {
  public:
    FrameInput(const ByteSource& source, std::uint64_t offset, std::uint64_t size)
        : source_(source), next_(offset), end_(offset + size), piece_(ZSTD_DStreamInSize()) {}

    // The buffer to decompress from, refilled when it has been used up.
    ZSTD_inBuffer& buffer() {
        if (input_.pos == input_.size && next_ < end_) {
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(end_ - next_, piece_.size()));
            source_.read(next_, piece_.data(), count);
            next_ += count;
            input_ = {piece_.data(), count, 0};
        }
        return input_;
    }
    bool exhausted() const { return input_.pos == input_.size && next_ == end_; }

  private:
    const ByteSource& source_;
    std::uint64_t next_;
    std::uint64_t end_;
    std::vector<char> piece_;
    ZSTD_inBuffer input_{nullptr, 0, 0};
};

} // namespace

std::vector<ListedEntry> listAttachedEntries(const ByteSource& source, std::uint64_t offset,
                                             std::uint64_t size) {
    checkHeader(source, offset, size);
    const std::unique_ptr<ZSTD_DCtx, DecompressionContextFree> context(ZSTD_createDCtx());
    if (!context) {
        throw PackError("cannot create a zstd decompression context");
    }
    std::vector<ListedEntry> entries;
    EntryStreamParser parser(&entries);
    std::vector<unsigned char> output(ZSTD_DStreamOutSize());
    FrameInput input(source, offset + attached::kHeaderSize, size - attached::kHeaderSize);
    for (;;) {
        ZSTD_outBuffer out{output.data(), output.size(), 0};
        const std::size_t result = ZSTD_decompressStream(context.get(), &out, &input.buffer());
        if (ZSTD_isError(result)) {
            damaged("the frame does not decode (" + std::string(ZSTD_getErrorName(result)) + ")");
        }
        parser.feed(output.data(), out.pos);
        if (result == 0) {
            break; // the frame is complete; what follows it is padding
        }
        if (input.exhausted() && out.pos < out.size) {
            damaged("the frame is cut short");
        }
    }
    const std::string reason = parser.incompleteReason();
    if (!reason.empty()) {
        damaged(reason);
    }
    return entries;
}

std::vector<ListedEntry> listAttachedEntries(std::string_view attachedData) {
    return listAttachedEntries(MemorySource(attachedData), 0, attachedData.size());
}

} // namespace packer
