// Where the packer's parsers read from and its writers write to: a file or,
// in tests and fuzz targets, memory; and the little-endian fields of the
// binary formats it handles.
#ifndef CORVELLINTH_TOOLS_PACKER_BYTE_IO_H
#define CORVELLINTH_TOOLS_PACKER_BYTE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "payload/record_fields.h"
#include "tools/packer/pack_error.h"

namespace packer {

// Random-access bytes of known size.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Fills into with count bytes from offset. Throws PackError when they
    // cannot be read; callers check the range against size() first.
    virtual void read(std::uint64_t offset, void* into, std::size_t count) const = 0;

    // count bytes from offset as a string (count is small: a header, a tree).
    std::string bytes(std::uint64_t offset, std::size_t count) const {
        std::string result(count, '\0');
        read(offset, result.data(), count);
        return result;
    }
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    void read(std::uint64_t offset, void* into, std::size_t count) const override {
        if (offset > bytes_.size() || count > bytes_.size() - offset) {
            throw PackError("read past the end of the data");
        }
        std::memcpy(into, bytes_.data() + offset, count);
    }

  private:
    std::string_view bytes_;
};

// A file being written: mostly in order, with a few fields written again
// once they are known.
class OutputSink {
  public:
    virtual ~OutputSink() = default;
    // Appends at the end. Throws PackError when the bytes cannot be written.
    virtual void write(const void* data, std::size_t size) = 0;
    // Overwrites bytes already written. Throws PackError like write.
    virtual void writeAt(std::uint64_t offset, const void* data, std::size_t size) = 0;
};

class MemoryOutput : public OutputSink {
  public:
    void write(const void* data, std::size_t size) override {
        bytes.append(static_cast<const char*>(data), size);
    }
    void writeAt(std::uint64_t offset, const void* data, std::size_t size) override {
        if (offset > bytes.size() || size > bytes.size() - offset) {
            throw PackError("write past the end of the data");
        }
        std::memcpy(bytes.data() + offset, data, size);
    }
    std::string bytes;
};

// An OutputSink that counts what is appended: for writers that lay a file
// out as they go.
class CountingOutput {
  public:
    explicit CountingOutput(OutputSink& sink) : sink_(sink) {}
    void write(const void* data, std::size_t size) {
        sink_.write(data, size);
        position_ += size;
    }
    // Appends zero bytes up to offset (not before the position).
    void writeZerosTo(std::uint64_t offset) {
        const std::string zeros(static_cast<std::size_t>(offset - position_), '\0');
        write(zeros.data(), zeros.size());
    }
    void writeAt(std::uint64_t offset, const void* data, std::size_t size) {
        sink_.writeAt(offset, data, size);
    }
    std::uint64_t position() const { return position_; }

  private:
    OutputSink& sink_;
    std::uint64_t position_ = 0;
};

// value rounded up to a multiple of alignment.
inline std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// The little-endian fields of the formats the packer reads and writes, over
// the launcher's one reader and writer of them (payload/record_fields.h).
// Every caller checks the bounds first.
inline std::uint64_t loadField(std::string_view bytes, std::size_t at, std::size_t count) {
    return record_fields::loadLittleEndian(
        reinterpret_cast<const unsigned char*>(bytes.data()) + at, count);
}

inline std::uint16_t loadU16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(loadField(bytes, at, 2));
}

inline std::uint32_t loadU32(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(loadField(bytes, at, 4));
}

inline std::uint64_t loadU64(std::string_view bytes, std::size_t at) {
    return loadField(bytes, at, 8);
}

inline void storeField(std::string& bytes, std::size_t at, std::uint64_t value, std::size_t count) {
    record_fields::storeLittleEndian(reinterpret_cast<unsigned char*>(bytes.data()) + at, value,
                                     count);
}

inline void storeU16(std::string& bytes, std::size_t at, std::uint16_t value) {
    storeField(bytes, at, value, 2);
}

inline void storeU32(std::string& bytes, std::size_t at, std::uint32_t value) {
    storeField(bytes, at, value, 4);
}

inline void storeU64(std::string& bytes, std::size_t at, std::uint64_t value) {
    storeField(bytes, at, value, 8);
}

inline void appendU16(std::string& bytes, std::uint16_t value) {
    bytes.resize(bytes.size() + 2);
    storeU16(bytes, bytes.size() - 2, value);
}

inline void appendU32(std::string& bytes, std::uint32_t value) {
    bytes.resize(bytes.size() + 4);
    storeU32(bytes, bytes.size() - 4, value);
}

inline void appendU64(std::string& bytes, std::uint64_t value) {
    bytes.resize(bytes.size() + 8);
    storeU64(bytes, bytes.size() - 8, value);
}

} // namespace packer

#endif
