// The one owner of the packer's system handles: files, find handles and
// directory streams. Traits name the handle type, its empty value and how
// to close it:
//
//   struct FileTraits {
//       using Type = HANDLE;
//       static Type empty() { return INVALID_HANDLE_VALUE; }
//       static void close(Type handle) { CloseHandle(handle); }
//   };
//   using FileHandle = UniqueHandle<FileTraits>;
#ifndef CORVELLINTH_TOOLS_PACKER_UNIQUE_HANDLE_H
#define CORVELLINTH_TOOLS_PACKER_UNIQUE_HANDLE_H

#include <utility>

namespace packer {

template <typename Traits> class UniqueHandle {
  public:
    using Type = typename Traits::Type;

    UniqueHandle() = default;
    explicit UniqueHandle(Type handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    bool valid() const { return handle_ != Traits::empty(); }
    Type get() const { return handle_; }
    [[nodiscard]] Type release() { return std::exchange(handle_, Traits::empty()); }
    void reset(Type handle = Traits::empty()) {
        if (valid()) {
            Traits::close(handle_);
        }
        handle_ = handle;
    }

  private:
    Type handle_ = Traits::empty();
};

} // namespace packer

#endif
