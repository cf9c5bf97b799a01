// Writes attached data: the header 'K' 'A' 'Y', one zstd frame holding the
// entry stream, zero bytes up to a multiple of 8, and the final 64-bit value
// (the offset of that value, i.e. the total length minus 8).
//
// AttachedDataWriter streams: it hands compressed bytes to a sink as they
// come, so its memory use does not depend on the size of the entries.
//
//   packer::AttachedDataWriter writer(sink, {});
//   writer.beginEntry(u"main.dll", size);
//   writer.addData(piece, pieceSize); // as often as needed, `size` in all
//   writer.finish();
#ifndef CORVELLINTH_TOOLS_PACKER_ATTACHED_WRITER_H
#define CORVELLINTH_TOOLS_PACKER_ATTACHED_WRITER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct ZSTD_CCtx_s;

namespace packer {

struct WriterOptions {
    int level = 19;
    // 0: one worker per core; 1: compress on the calling thread; n: n
    // workers. Output depends only on level and window, and on whether
    // workers are used at all (any number of them gives the same bytes).
    int threads = 1;
    int windowLog = 21;        // 2 MiB window declared in the frame
    bool longDistance = false; // zstd's long-distance matching (within the window)
    // The frame's content checksum (the low 32 bits of XXH64 over the entry
    // stream), which the launcher checks before the application starts.
    bool checksum = true;
};

class AttachedDataWriter {
  public:
    // Receives the attached data piece by piece; throws PackError when it
    // cannot take it (the writer lets that through).
    using Sink = std::function<void(const void* data, std::size_t size)>;

    // Writes the three header bytes to the sink at once. Throws PackError
    // when zstd rejects the options.
    AttachedDataWriter(Sink sink, const WriterOptions& options);
    ~AttachedDataWriter();
    AttachedDataWriter(const AttachedDataWriter&) = delete;
    AttachedDataWriter& operator=(const AttachedDataWriter&) = delete;

    // Starts an entry of size bytes. Throws std::invalid_argument when name
    // is empty, holds a 0 unit or has 1024 code units or more (the launcher
    // holds 1023 and a terminator), std::logic_error when the previous entry
    // has not received all its data or finish() was called.
    void beginEntry(std::u16string_view name, std::uint64_t size);

    // Like beginEntry without any check of the name: for tests that need a
    // stream the launcher must refuse (a name of 1024 units, say).
    void beginEntryUnchecked(std::u16string_view name, std::uint64_t size);

    // The current entry's data, in any number of pieces. Throws
    // std::logic_error when there is no entry or more than announced.
    void addData(const void* data, std::size_t size);

    // Checks that the last entry is complete (std::logic_error otherwise),
    // writes the end marker, ends the frame, then the zero bytes and the
    // final value. The writer takes nothing afterwards.
    void finish();

    // Bytes handed to the sink so far, header included.
    std::uint64_t compressedBytes() const { return written_; }

  private:
    void startEntry(std::u16string_view name, std::uint64_t size);
    void compress(const void* data, std::size_t size, int directive);
    void emit(const void* data, std::size_t size);

    Sink sink_;
    ZSTD_CCtx_s* context_ = nullptr;
    std::vector<unsigned char> output_;
    std::uint64_t written_ = 0;
    std::uint64_t remaining_ = 0; // data bytes the current entry still needs
    bool finished_ = false;
};

struct Entry {
    std::u16string name;
    std::string data;
};

// The raw (uncompressed) entry stream of entries, end marker included.
std::string encodeEntryStream(const std::vector<Entry>& entries);

// The whole attached data of entries, in memory.
std::string writeAttachedData(const std::vector<Entry>& entries, const WriterOptions& options = {});

// 'K' 'A' 'Y', the given bytes as they are (any frame, or anything at all),
// the zero bytes and the final value: attached data around a foreign frame.
std::string wrapFrame(const std::string& zstdFrame);

} // namespace packer

#endif
