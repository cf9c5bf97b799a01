#include "tools/packer/attached_writer.h"

#include <zstd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "payload/format.h"
#include "tools/packer/byte_io.h"
#include "tools/packer/pack_error.h"

namespace packer {
namespace {

constexpr std::size_t kNameUnitLimit = attached::kNameCapacity - 1;

// The name, its 0x0000 unit and the size field, as they precede the data.
std::string encodeEntryHead(std::u16string_view name, std::uint64_t size) {
    std::string head;
    head.reserve(2 * name.size() + 2 + attached::kSizeFieldSize);
    for (const char16_t unit : name) {
        appendU16(head, unit);
    }
    appendU16(head, 0);
    appendU64(head, size);
    return head;
}

void checkName(std::u16string_view name) {
    if (name.empty()) {
        throw std::invalid_argument("an entry name must not be empty");
    }
    if (name.find(u'\0') != std::u16string_view::npos) {
        throw std::invalid_argument("an entry name must not hold a 0 code unit");
    }
    if (name.size() > kNameUnitLimit) {
        throw std::invalid_argument("an entry name must be shorter than 1024 code units");
    }
}

// Zero bytes that put the final value on a multiple of 8, and the value.
std::string encodeTrailer(std::uint64_t lengthSoFar) {
    const std::size_t alignment = attached::kTrailerAlignment;
    const std::size_t padding = (alignment - lengthSoFar % alignment) % alignment;
    std::string trailer(padding, '\0');
    appendU64(trailer, lengthSoFar + padding);
    return trailer;
}

void check(std::size_t result, const char* what) {
    if (ZSTD_isError(result)) {
        throw PackError(std::string(what) + ": " + ZSTD_getErrorName(result));
    }
}

// Any number of workers gives the same bytes, so "all cores" on a one-core
// machine still uses one worker: the output never depends on the machine.
int workerCount(int threads) {
    if (threads == 0) {
        return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    }
    return threads <= 1 ? 0 : threads;
}

} // namespace

AttachedDataWriter::AttachedDataWriter(Sink sink, const WriterOptions& options)
    : sink_(std::move(sink)), output_(ZSTD_CStreamOutSize()) {
    context_ = ZSTD_createCCtx();
    if (context_ == nullptr) {
        throw PackError("cannot create a zstd compression context");
    }
    try {
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_compressionLevel, options.level),
              "compression level");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_windowLog, options.windowLog), "window log");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_contentSizeFlag, 0), "content size flag");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_checksumFlag, options.checksum ? 1 : 0),
              "checksum flag");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_dictIDFlag, 0), "dictionary id flag");
        check(ZSTD_CCtx_setParameter(context_, ZSTD_c_nbWorkers, workerCount(options.threads)),
              "worker count");
        if (options.longDistance) {
            check(ZSTD_CCtx_setParameter(context_, ZSTD_c_enableLongDistanceMatching, 1),
                  "long-distance matching");
        }
        emit(attached::kHeader, attached::kHeaderSize);
    } catch (...) {
        ZSTD_freeCCtx(context_);
        throw;
    }
}

AttachedDataWriter::~AttachedDataWriter() {
    ZSTD_freeCCtx(context_);
}

void AttachedDataWriter::beginEntry(std::u16string_view name, std::uint64_t size) {
    checkName(name);
    startEntry(name, size);
}

void AttachedDataWriter::beginEntryUnchecked(std::u16string_view name, std::uint64_t size) {
    startEntry(name, size);
}

void AttachedDataWriter::startEntry(std::u16string_view name, std::uint64_t size) {
    if (finished_) {
        throw std::logic_error("the attached data is already finished");
    }
    if (remaining_ != 0) {
        throw std::logic_error("the previous entry still lacks data");
    }
    const std::string head = encodeEntryHead(name, size);
    compress(head.data(), head.size(), ZSTD_e_continue);
    remaining_ = size;
}

void AttachedDataWriter::addData(const void* data, std::size_t size) {
    if (finished_ || size > remaining_) {
        throw std::logic_error("more data than the entry announced");
    }
    compress(data, size, ZSTD_e_continue);
    remaining_ -= size;
}

void AttachedDataWriter::finish() {
    if (finished_) {
        throw std::logic_error("the attached data is already finished");
    }
    if (remaining_ != 0) {
        throw std::logic_error("the last entry still lacks data");
    }
    const unsigned char endMarker[2] = {0, 0};
    compress(endMarker, sizeof(endMarker), ZSTD_e_end);
    finished_ = true;
    const std::string trailer = encodeTrailer(written_);
    emit(trailer.data(), trailer.size());
}

// Feeds the compressor until it has taken all of data and, for ZSTD_e_end,
// until the frame is complete; every output is passed on at once.
void AttachedDataWriter::compress(const void* data, std::size_t size, int directive) {
    ZSTD_inBuffer input{data, size, 0};
    const auto mode = static_cast<ZSTD_EndDirective>(directive);
    for (;;) {
        ZSTD_outBuffer output{output_.data(), output_.size(), 0};
        const std::size_t left = ZSTD_compressStream2(context_, &output, &input, mode);
        check(left, "zstd compression failed");
        emit(output_.data(), output.pos);
        const bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
        if (done) {
            return;
        }
    }
}

void AttachedDataWriter::emit(const void* data, std::size_t size) {
    if (size == 0) {
        return;
    }
    sink_(data, size);
    written_ += size;
}

std::string encodeEntryStream(const std::vector<Entry>& entries) {
    std::string stream;
    for (const Entry& entry : entries) {
        stream += encodeEntryHead(entry.name, entry.data.size());
        stream += entry.data;
    }
    appendU16(stream, 0);
    return stream;
}

std::string writeAttachedData(const std::vector<Entry>& entries, const WriterOptions& options) {
    std::string result;
    AttachedDataWriter writer(
        [&result](const void* data, std::size_t size) {
            result.append(static_cast<const char*>(data), size);
        },
        options);
    for (const Entry& entry : entries) {
        writer.beginEntry(entry.name, entry.data.size());
        writer.addData(entry.data.data(), entry.data.size());
    }
    writer.finish();
    return result;
}

std::string wrapFrame(const std::string& zstdFrame) {
    std::string result(reinterpret_cast<const char*>(attached::kHeader), attached::kHeaderSize);
    result += zstdFrame;
    result += encodeTrailer(result.size());
    return result;
}

} // namespace packer
