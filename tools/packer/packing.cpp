#include "tools/packer/packing.h"

#include <memory>
#include <vector>

#include "tools/packer/embed.h"
#include "tools/packer/file_handle.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/progress.h"
#include "tools/packer/system_text.h"

namespace packer {
namespace {

constexpr DWORD kReadChunkSize = 1 << 20;

FileHandle openSource(const SourceFile& source, std::uint64_t* size) {
    FileHandle file(CreateFileW(extendedPath(source.path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot read", source.path, code));
    }
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file.get(), &length)) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot read", source.path, code));
    }
    *size = static_cast<std::uint64_t>(length.QuadPart);
    return file;
}

// One entry: the size is taken when the file is opened, and exactly that
// many bytes must then be readable.
void packFile(const SourceFile& source, AttachedDataWriter& writer, std::vector<char>& buffer,
              Progress& progress) {
    std::uint64_t size = 0;
    const FileHandle file = openSource(source, &size);
    writer.beginEntry(std::u16string_view(reinterpret_cast<const char16_t*>(source.name.data()),
                                          source.name.size()),
                      size);
    std::uint64_t remaining = size;
    while (remaining != 0) {
        const DWORD wanted =
            remaining < kReadChunkSize ? static_cast<DWORD>(remaining) : kReadChunkSize;
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), wanted, &got, nullptr)) {
            const DWORD code = GetLastError();
            throw PackError(describeFailure(L"cannot read", source.path, code));
        }
        if (got == 0) {
            throw PackError(L"'" + source.path + L"' became shorter while it was packed");
        }
        writer.addData(buffer.data(), got);
        remaining -= got;
        progress.advance(got);
    }
}

} // namespace

std::uint64_t writeAttachedDataFile(HANDLE file, const std::wstring& displayPath,
                                    const SourceTree& tree, const WriterOptions& options,
                                    bool showProgress) {
    const auto sink = [file, &displayPath](const void* data, std::size_t size) {
        DWORD written = 0;
        if (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) ||
            written != size) {
            const DWORD code = GetLastError();
            throw PackError(describeFailure(L"cannot write", displayPath, code));
        }
    };
    AttachedDataWriter writer(sink, options);
    Progress progress(GetStdHandle(STD_ERROR_HANDLE), tree.totalBytes, showProgress);
    std::vector<char> buffer(kReadChunkSize);
    for (const SourceFile& source : tree.files) {
        packFile(source, writer, buffer, progress);
    }
    writer.finish();
    progress.finish();
    return writer.compressedBytes();
}

void embedAttachedDataFile(const std::wstring& launcher, const std::wstring& output, HANDLE file,
                           std::uint64_t size) {
    const FileHandle mapping(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.valid()) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot map the attached data for", output, code));
    }
    const MappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (view.get() == nullptr) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot map the attached data for", output, code));
    }
    std::wstring error;
    if (!embedAttachedData(launcher, output, view.get(), static_cast<std::size_t>(size), &error)) {
        throw PackError(error);
    }
}

} // namespace packer
