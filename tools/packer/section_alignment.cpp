#include "tools/packer/section_alignment.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace packer {
namespace {

constexpr std::size_t kHeaderBytes = 4096;   // DOS stub, PE header and section table
constexpr std::size_t kShiftPiece = 1 << 20; // bytes moved per read and write
constexpr std::size_t kSectionHeaderSize = sizeof(IMAGE_SECTION_HEADER);

class File {
  public:
    explicit File(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~File() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    bool size(std::uint64_t* bytes) const {
        LARGE_INTEGER value;
        if (!GetFileSizeEx(handle_, &value)) {
            return false;
        }
        *bytes = static_cast<std::uint64_t>(value.QuadPart);
        return true;
    }
    bool read(std::uint64_t offset, void* into, std::size_t count) const {
        return seek(offset) && transfer(into, count, false);
    }
    bool write(std::uint64_t offset, const void* from, std::size_t count) const {
        return seek(offset) && transfer(const_cast<void*>(from), count, true);
    }

  private:
    bool seek(std::uint64_t offset) const {
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(offset);
        return SetFilePointerEx(handle_, position, nullptr, FILE_BEGIN) != 0;
    }
    bool transfer(void* buffer, std::size_t count, bool writing) const {
        auto* bytes = static_cast<char*>(buffer);
        while (count > 0) {
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count, kShiftPiece));
            DWORD done = 0;
            const BOOL ok = writing ? WriteFile(handle_, bytes, piece, &done, nullptr)
                                    : ReadFile(handle_, bytes, piece, &done, nullptr);
            if (!ok || done == 0) {
                return false;
            }
            bytes += done;
            count -= done;
        }
        return true;
    }

    HANDLE handle_;
};

struct SectionTable {
    std::vector<char> headers;
    std::size_t firstEntry = 0; // offset of the first section header in headers
    unsigned count = 0;

    IMAGE_SECTION_HEADER entry(unsigned index) const {
        IMAGE_SECTION_HEADER section;
        std::memcpy(&section, headers.data() + firstEntry + index * kSectionHeaderSize,
                    sizeof(section));
        return section;
    }
    std::size_t entryOffset(unsigned index) const {
        return firstEntry + index * kSectionHeaderSize;
    }
};

bool readSectionTable(const File& file, SectionTable* table) {
    std::uint64_t size = 0;
    if (!file.size(&size)) {
        return false;
    }
    table->headers.assign(std::min<std::uint64_t>(size, kHeaderBytes), '\0');
    if (!file.read(0, table->headers.data(), table->headers.size())) {
        return false;
    }
    const auto& bytes = table->headers;
    if (bytes.size() < sizeof(IMAGE_DOS_HEADER)) {
        return false;
    }
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, bytes.data(), sizeof(dos));
    const auto peOffset = static_cast<std::size_t>(dos.e_lfanew);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE ||
        peOffset + sizeof(IMAGE_NT_HEADERS64) > bytes.size()) {
        return false;
    }
    DWORD signature = 0;
    IMAGE_FILE_HEADER fileHeader;
    std::memcpy(&signature, bytes.data() + peOffset, sizeof(signature));
    std::memcpy(&fileHeader, bytes.data() + peOffset + sizeof(signature), sizeof(fileHeader));
    if (signature != IMAGE_NT_SIGNATURE) {
        return false;
    }
    table->firstEntry =
        peOffset + sizeof(signature) + sizeof(fileHeader) + fileHeader.SizeOfOptionalHeader;
    table->count = fileHeader.NumberOfSections;
    return table->firstEntry + table->count * kSectionHeaderSize <= bytes.size();
}

bool isResourceSection(const IMAGE_SECTION_HEADER& section) {
    return std::memcmp(section.Name, ".rsrc\0\0", IMAGE_SIZEOF_SHORT_NAME) == 0;
}

// Moves [from, end) up by distance, last piece first, so nothing is
// overwritten before it has been read.
bool shiftTail(const File& file, std::uint64_t from, std::uint64_t end, std::uint64_t distance) {
    std::vector<char> buffer(kShiftPiece);
    for (std::uint64_t stop = end; stop > from;) {
        const std::uint64_t start = stop - std::min<std::uint64_t>(stop - from, kShiftPiece);
        const auto count = static_cast<std::size_t>(stop - start);
        if (!file.read(start, buffer.data(), count) ||
            !file.write(start + distance, buffer.data(), count)) {
            return false;
        }
        stop = start;
    }
    const std::vector<char> zeros(static_cast<std::size_t>(distance), '\0');
    return file.write(from, zeros.data(), zeros.size());
}

} // namespace

unsigned resourceSectionFileOffset(const std::wstring& path) {
    const File file(path);
    SectionTable table;
    if (!file.isOpen() || !readSectionTable(file, &table)) {
        return 0;
    }
    for (unsigned index = 0; index < table.count; ++index) {
        if (isResourceSection(table.entry(index))) {
            return table.entry(index).PointerToRawData;
        }
    }
    return 0;
}

bool alignResourceSection(const std::wstring& path, std::wstring* error) {
    const File file(path);
    SectionTable table;
    std::uint64_t fileSize = 0;
    if (!file.isOpen() || !readSectionTable(file, &table) || !file.size(&fileSize)) {
        *error = L"cannot read the executable headers of '" + path + L"'";
        return false;
    }
    unsigned resource = table.count;
    for (unsigned index = 0; index < table.count; ++index) {
        if (isResourceSection(table.entry(index))) {
            resource = index;
        }
    }
    if (resource == table.count) {
        *error = L"no resource section in '" + path + L"'";
        return false;
    }
    const DWORD offset = table.entry(resource).PointerToRawData;
    if (offset % kPageSize == 0) {
        return true;
    }
    // Every section stored behind it (the relocations, say) moves with it;
    // only file offsets change, never addresses.
    const DWORD distance = (offset + kPageSize - 1) / kPageSize * kPageSize - offset;
    if (!shiftTail(file, offset, fileSize, distance)) {
        *error = L"cannot move the resource section of '" + path + L"'";
        return false;
    }
    for (unsigned index = 0; index < table.count; ++index) {
        IMAGE_SECTION_HEADER section = table.entry(index);
        if (section.PointerToRawData < offset || section.SizeOfRawData == 0) {
            continue;
        }
        section.PointerToRawData += distance;
        if (!file.write(table.entryOffset(index), &section, sizeof(section))) {
            *error = L"cannot move the resource section of '" + path + L"'";
            return false;
        }
    }
    return true;
}

} // namespace packer
