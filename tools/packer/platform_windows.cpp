// The packer's system layer on Windows: UTF-8 paths widened at each call,
// the extended-length form for long ones.
#include "tools/packer/platform.h"

#include <windows.h>

#include "tools/packer/unicode_text.h"
#include "tools/packer/unique_handle.h"

namespace packer {
namespace {

struct FileTraits {
    using Type = HANDLE;
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};
using FileHandle = UniqueHandle<FileTraits>;

struct ProcessTraits {
    using Type = HANDLE;
    static HANDLE empty() { return nullptr; }
    static void close(HANDLE handle) { CloseHandle(handle); }
};
using ProcessHandle = UniqueHandle<ProcessTraits>;

struct FindTraits {
    using Type = HANDLE;
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static void close(HANDLE handle) { FindClose(handle); }
};
using FindHandle = UniqueHandle<FindTraits>;

// Paths this long or longer get the extended-length form, which lifts
// MAX_PATH (a directory's limit is 12 units lower).
constexpr std::size_t kLongPath = MAX_PATH - 12;
constexpr DWORD kLargestPiece = 1u << 30;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::wstring_view kExtendedPrefix = L"\\\\?\\";
constexpr std::wstring_view kExtendedUncPrefix = L"\\\\?\\UNC\\";

std::wstring widen(std::string_view text) {
    const std::u16string units = utf8ToUtf16(text).value_or(u"");
    return std::wstring(units.begin(), units.end());
}

std::string narrow(std::wstring_view text) {
    return utf16ToUtf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

bool hasUnpairedSurrogate(std::wstring_view text) {
    const std::u16string units(text.begin(), text.end());
    return utf8ToUtf16(utf16ToUtf8(units)) != units;
}

std::wstring fullWidePath(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length =
        needed == 0 ? 0 : GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure("cannot resolve", narrow(path), code));
    }
    full.resize(length);
    return full;
}

// The path to hand to the system: as it is when short, else full and in
// the extended-length form.
std::wstring systemPath(const std::string& path) {
    std::wstring wide = widen(path);
    if (wide.size() < kLongPath || wide.rfind(L"\\\\?\\", 0) == 0) {
        return wide;
    }
    wide = fullWidePath(wide);
    if (wide.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + wide.substr(2);
    }
    return L"\\\\?\\" + wide;
}

FileStatus statusFromAttributes(DWORD attributes, DWORD sizeHigh, DWORD sizeLow) {
    FileStatus status;
    status.kind =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::directory : FileKind::file;
    status.size = (std::uint64_t{sizeHigh} << 32) | sizeLow;
    return status;
}

// The files to delete when a console event ends the process. The handler
// runs on a thread of its own while the output is still open (shared for
// deletion), so the deletion takes effect when the process ends.
constexpr std::size_t kLongestPath = 32768;
wchar_t interruptedFiles[kInterruptSlots][kLongestPath];

BOOL WINAPI onConsoleEvent(DWORD) {
    for (const wchar_t* path : interruptedFiles) {
        if (path[0] != L'\0') {
            DeleteFileW(path);
        }
    }
    return FALSE; // the default handler then ends the process
}

// A file or directory opened for its identity and name only.
FileHandle openForQuery(const std::string& path) {
    return FileHandle(CreateFileW(systemPath(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::wstring systemFolder() {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        const DWORD code = GetLastError();
        throw PackError("cannot find the system folder: " + systemErrorText(code));
    }
    return std::wstring(folder, length);
}

HANDLE standardHandle(StandardStream stream) {
    return GetStdHandle(stream == StandardStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

void moveTo(HANDLE file, std::uint64_t offset, const std::string& shown, const char* what) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(what, shown, code));
    }
}

// Reads count bytes from the current position, fewer only at the end.
std::size_t readUpTo(HANDLE file, const std::string& shown, char* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(count - done, kLargestPiece));
        DWORD got = 0;
        if (!ReadFile(file, bytes + done, piece, &got, nullptr)) {
            const DWORD code = GetLastError();
            throw PackError(describeFailure("cannot read", shown, code));
        }
        if (got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

// Writes all of bytes at the current position. A write that reports
// success without writing anything sets no error code (the last error is
// whatever an earlier call left), so it gets a message of its own.
void writeAll(HANDLE file, const std::string& shown, const char* bytes, std::size_t size) {
    while (size > 0) {
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, kLargestPiece));
        DWORD done = 0;
        if (!WriteFile(file, bytes, piece, &done, nullptr)) {
            const DWORD code = GetLastError();
            throw PackError(describeFailure("cannot write", shown, code));
        }
        if (done == 0) {
            throw PackError("cannot write '" + shown + "': the system wrote nothing");
        }
        bytes += done;
        size -= done;
    }
}

} // namespace

struct InputFile::Handle {
    FileHandle file;
};

struct OutputFile::Handle {
    FileHandle file;
};

std::string systemErrorText(SystemError code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string result =
        length != 0 && text != nullptr ? narrow(std::wstring_view(text, length)) : "";
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.')) {
        result.pop_back();
    }
    return result.empty() ? "error " + std::to_string(code) : result;
}

std::vector<std::string> argumentsOf(int argc, NativeChar** argv) {
    std::vector<std::string> arguments;
    for (int index = 1; index < argc; ++index) {
        if (hasUnpairedSurrogate(argv[index])) {
            throw PackError("argument " + std::to_string(index) + " is not valid Unicode",
                            kExitUsage);
        }
        arguments.push_back(narrow(argv[index]));
    }
    return arguments;
}

FileStatus statusOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(systemPath(path).c_str(), GetFileExInfoStandard, &data)) {
        FileStatus missing;
        missing.error = GetLastError();
        return missing;
    }
    return statusFromAttributes(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
}

std::vector<DirectoryItem> listDirectory(const std::string& path) {
    std::wstring pattern = systemPath(path);
    pattern += pattern.back() == L'\\' ? L"*" : L"\\*";
    WIN32_FIND_DATAW found;
    const FindHandle search(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0));
    std::vector<DirectoryItem> items;
    if (!search.valid()) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return items; // nothing in it, not even "." (a drive root)
        }
        throw PackError(describeFailure("cannot read directory", path, code));
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        DirectoryItem item;
        item.validName = !hasUnpairedSurrogate(name);
        item.name = narrow(name);
        // The listing describes a link itself; what it leads to is packed.
        item.isLink = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                      (found.dwReserved0 == IO_REPARSE_TAG_SYMLINK ||
                       found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
        item.status =
            item.isLink ? statusOf(path.back() == '\\' ? path + item.name : path + "\\" + item.name)
                        : statusFromAttributes(found.dwFileAttributes, found.nFileSizeHigh,
                                               found.nFileSizeLow);
        items.push_back(std::move(item));
    } while (FindNextFileW(search.get(), &found));
    const DWORD code = GetLastError();
    if (code != ERROR_NO_MORE_FILES) {
        throw PackError(describeFailure("cannot read directory", path, code));
    }
    return items;
}

std::string fullPathOf(const std::string& path) {
    std::wstring full = fullWidePath(widen(path));
    while (full.size() > 3 && full.back() == L'\\') {
        full.pop_back();
    }
    return narrow(full);
}

bool samePath(const std::string& left, const std::string& right) {
    const std::wstring a = widen(left);
    const std::wstring b = widen(right);
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool isWithin(const std::string& path, const std::string& directory) {
    const std::wstring whole = widen(path);
    const std::wstring start = widen(directory);
    if (whole.size() < start.size() ||
        CompareStringOrdinal(whole.c_str(), static_cast<int>(start.size()), start.c_str(),
                             static_cast<int>(start.size()), TRUE) != CSTR_EQUAL) {
        return false;
    }
    return whole.size() == start.size() || start.back() == L'\\' || whole[start.size()] == L'\\';
}

std::optional<std::string> realPathOf(const std::string& path) {
    const FileHandle file = openForQuery(path);
    if (!file.valid()) {
        return std::nullopt;
    }
    std::wstring final(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(
            file.get(), final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
        if (length == 0) {
            return std::nullopt;
        }
        const bool fits = length < final.size();
        final.resize(length);
        if (fits) {
            break;
        }
    }
    if (final.rfind(kExtendedUncPrefix, 0) == 0) {
        return narrow(L"\\\\" + final.substr(kExtendedUncPrefix.size()));
    }
    if (final.rfind(kExtendedPrefix, 0) == 0) {
        return narrow(final.substr(kExtendedPrefix.size()));
    }
    return narrow(final);
}

bool sameFile(const std::string& left, const std::string& right) {
    const FileHandle a = openForQuery(left);
    const FileHandle b = openForQuery(right);
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    return a.valid() && b.valid() && GetFileInformationByHandle(a.get(), &first) &&
           GetFileInformationByHandle(b.get(), &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

std::string ownDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            const DWORD code = GetLastError();
            throw PackError("cannot find onefile-pack's own path: " + systemErrorText(code));
        }
        if (length < path.size()) {
            path.resize(length);
            return narrow(path.substr(0, path.rfind(L'\\')));
        }
        path.resize(path.size() * 2);
    }
}

std::uint32_t currentProcessId() {
    return GetCurrentProcessId();
}

InputFile::InputFile(const std::string& path, const std::string& shown)
    : shown_(shown.empty() ? path : shown), handle_(std::make_unique<Handle>()) {
    handle_->file.reset(CreateFileW(systemPath(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER length{};
    if (!handle_->file.valid() || !GetFileSizeEx(handle_->file.get(), &length)) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure("cannot read", shown_, code));
    }
    size_ = static_cast<std::uint64_t>(length.QuadPart);
}

InputFile::~InputFile() = default;

void InputFile::read(std::uint64_t offset, void* into, std::size_t count) const {
    moveTo(handle_->file.get(), offset, shown_, "cannot read");
    if (readUpTo(handle_->file.get(), shown_, static_cast<char*>(into), count) != count) {
        throw PackError("cannot read '" + shown_ + "': it ends early");
    }
}

std::size_t InputFile::readNext(void* into, std::size_t count) {
    return readUpTo(handle_->file.get(), shown_, static_cast<char*>(into), count);
}

OutputFile::OutputFile(const std::string& path, const std::string& shown, bool)
    : shown_(shown), handle_(std::make_unique<Handle>()) {
    handle_->file.reset(CreateFileW(systemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle_->file.valid()) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure("cannot write", shown_, code));
    }
}

OutputFile::~OutputFile() = default;

void OutputFile::write(const void* data, std::size_t size) {
    writeAll(handle_->file.get(), shown_, static_cast<const char*>(data), size);
}

void OutputFile::writeAt(std::uint64_t offset, const void* data, std::size_t size) {
    LARGE_INTEGER end{};
    const LARGE_INTEGER none{};
    if (!SetFilePointerEx(handle_->file.get(), none, &end, FILE_CURRENT)) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure("cannot write", shown_, code));
    }
    moveTo(handle_->file.get(), offset, shown_, "cannot write");
    writeAll(handle_->file.get(), shown_, static_cast<const char*>(data), size);
    moveTo(handle_->file.get(), static_cast<std::uint64_t>(end.QuadPart), shown_, "cannot write");
}

void OutputFile::close() {
    if (!CloseHandle(handle_->file.release())) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure("cannot write", shown_, code));
    }
}

SystemError replaceFile(const std::string& from, const std::string& to) {
    if (MoveFileExW(systemPath(from).c_str(), systemPath(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return 0;
    }
    return GetLastError();
}

void removeFile(const std::string& path) {
    DeleteFileW(systemPath(path).c_str());
}

void removeOnInterrupt(const std::string& path, InterruptSlot slot) {
    static bool installed = false;
    if (!installed) {
        SetConsoleCtrlHandler(onConsoleEvent, TRUE);
        installed = true;
    }
    // The first character last, so the handler never sees half a path.
    wchar_t* const kept = interruptedFiles[static_cast<std::size_t>(slot)];
    kept[0] = L'\0';
    const std::wstring wide = path.empty() ? L"" : systemPath(path);
    if (!wide.empty() && wide.size() < kLongestPath) {
        std::copy(wide.begin() + 1, wide.end(), kept + 1);
        kept[wide.size()] = L'\0';
        kept[0] = wide[0];
    }
}

int runShellCommand(const std::string& command) {
    const std::wstring shell = systemFolder() + L"\\cmd.exe";
    // /s keeps everything between the outer quotes as it is; /d skips the
    // AutoRun commands of the registry.
    std::wstring line = L"cmd.exe /d /s /c \"" + widen(command) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(shell.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &started)) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure("cannot start", narrow(shell), code));
    }
    const ProcessHandle process(started.hProcess);
    CloseHandle(started.hThread);
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.get(), &exitCode)) {
        const DWORD code = GetLastError();
        throw PackError("cannot wait for it: " + systemErrorText(code));
    }
    return static_cast<int>(exitCode);
}

std::string quoteForShell(const std::string& path) {
    if (path.find_first_of("%\"") != std::string::npos) {
        throw PackError("cmd.exe cannot be handed '" + path + "' unchanged: it holds '%'");
    }
    return "\"" + path + "\"";
}

bool isTerminal(StandardStream stream) {
    DWORD mode = 0;
    const HANDLE handle = standardHandle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void writeStandard(StandardStream stream, std::string_view text) {
    const HANDLE handle = standardHandle(stream);
    DWORD written = 0;
    if (isTerminal(stream)) {
        const std::wstring wide = widen(text);
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

} // namespace packer
