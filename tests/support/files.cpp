#include "tests/support/files.h"

#include <windows.h>

#include <algorithm>

#include "tests/support/process.h"

namespace testing_support {

std::wstring binaryDirectory() {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring result(path, length);
    return result.substr(0, result.rfind(L'\\'));
}

std::string pseudoRandomBytes(std::size_t count, std::uint32_t seed) {
    std::string bytes(count, '\0');
    std::uint32_t state = seed;
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::wstring systemTempDirectory() {
    wchar_t path[MAX_PATH + 1];
    std::wstring result(path, GetTempPathW(MAX_PATH + 1, path));
    while (!result.empty() && result.back() == L'\\') {
        result.pop_back();
    }
    return result;
}

ScratchDirectory::ScratchDirectory(const std::wstring& hint) {
    static unsigned counter = 0;
    for (;;) {
        path_ = systemTempDirectory() + L"\\corv-" + hint + L"-" +
                std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
        if (CreateDirectoryW(path_.c_str(), nullptr)) {
            return;
        }
    }
}

ScratchDirectory::~ScratchDirectory() {
    removeTree(path_);
}

bool fileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool directoryExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Delete sharing too: a file that MoveFileExW has just put in place is
// still open with delete access in the process that moved it (Wine keeps
// the handle it renamed through until the call returns), and a reader
// without delete sharing fails with a sharing violation meanwhile.
std::string readFile(const std::wstring& path) {
    std::string content;
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return content;
    }
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got != 0) {
        content.append(buffer, got);
    }
    CloseHandle(file);
    return content;
}

void writeFile(const std::wstring& path, const std::string& content) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    size_t done = 0;
    while (done < content.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(file, content.data() + done, chunk, &written, nullptr) || written == 0) {
            break;
        }
        done += written;
    }
    CloseHandle(file);
}

void removeTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring child = path + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                if (runLinuxProgram("/bin/rm", {"-f", linuxPath(child)}) != 0) {
                    RemoveDirectoryW(child.c_str());
                }
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

namespace {

void collect(const std::wstring& root, const std::wstring& prefix,
             std::vector<std::wstring>* names) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((root + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            collect(root + L"\\" + name, prefix + name + L"\\", names);
        } else {
            names->push_back(prefix + name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

} // namespace

std::wstring shortNameOf(const std::wstring& directory, const std::wstring& name) {
    writeFile(directory + L"\\" + name, "");
    wchar_t shortPath[MAX_PATH];
    const DWORD length = GetShortPathNameW((directory + L"\\" + name).c_str(), shortPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return name;
    }
    const std::wstring path(shortPath, length);
    return path.substr(path.rfind(L'\\') + 1);
}

std::vector<std::wstring> namesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::wstring> listFiles(const std::wstring& root) {
    std::vector<std::wstring> names;
    collect(root, L"", &names);
    std::sort(names.begin(), names.end());
    return names;
}

std::string linuxPath(const std::wstring& path) {
    using UnixFileName = char*(CDECL*)(LPCWSTR);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto toUnix = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
    char* const converted = toUnix != nullptr ? toUnix(path.c_str()) : nullptr;
    if (converted == nullptr) {
        return "";
    }
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

// Wine signals a Linux program's process handle as soon as it is started,
// with exit code 0, so the program is run by a shell that leaves its exit
// code in a file, and the file is waited for.
int runLinuxProgram(const std::string& program, const std::vector<std::string>& arguments) {
    static unsigned counter = 0;
    const std::wstring status = systemTempDirectory() + L"\\corv-linux-" +
                                std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(++counter);
    const std::string linuxStatus = linuxPath(status);
    if (linuxStatus.empty()) {
        return -1;
    }
    const std::string script = "\"$@\"; echo $? >'" + linuxStatus + ".part' && mv '" + linuxStatus +
                               ".part' '" + linuxStatus + "'";
    std::vector<std::wstring> shellArguments = {L"-c", widen(script), L"sh", widen(program)};
    for (const std::string& argument : arguments) {
        shellArguments.push_back(widen(argument));
    }
    // Drive Z: is the Linux root under Wine.
    runProcess(L"Z:\\bin\\sh", shellArguments);
    for (int waited = 0; waited < 3000 && !fileExists(status); ++waited) {
        Sleep(10);
    }
    const std::string code = readFile(status);
    DeleteFileW(status.c_str());
    return code.empty() ? -1 : std::stoi(code);
}

bool makeLinuxSymlink(const std::wstring& link, const std::wstring& target) {
    const std::string linuxLink = linuxPath(link);
    const std::string linuxTarget = linuxPath(target);
    return !linuxLink.empty() && !linuxTarget.empty() &&
           runLinuxProgram("/bin/ln", {"-s", linuxTarget, linuxLink}) == 0;
}

} // namespace testing_support
