// Owner of a Win32 file handle (empty value INVALID_HANDLE_VALUE) and of a
// mapped view, so that every exit path of the packer closes what it opened.
#ifndef CORVELLINTH_TOOLS_PACKER_FILE_HANDLE_H
#define CORVELLINTH_TOOLS_PACKER_FILE_HANDLE_H

#include <windows.h>

namespace packer {

class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { reset(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : handle_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    [[nodiscard]] HANDLE release() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class MappedView {
  public:
    explicit MappedView(const void* view) : view_(view) {}
    ~MappedView() {
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
        }
    }
    MappedView(const MappedView&) = delete;
    MappedView& operator=(const MappedView&) = delete;
    const void* get() const { return view_; }

  private:
    const void* view_;
};

} // namespace packer

#endif
