// The sample application: the main file whose run_code shows what a
// packaged application receives. It prints its arguments, the four
// variables that the launcher sets, the files unpacked next to it, and the
// contents of data/greeting.txt, then returns the exit code asked for with
// --exit N (0 otherwise).
//
// Built as a DLL for Windows (named main.dll beside its data folder) and as
// a shared object for Linux (main.so); pack that folder with onefile-pack
// (see README.md).
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "launcher/run_code.h"

namespace {

#ifdef _WIN32
constexpr DWORD kVariableCapacity = 32768;
constexpr char kSeparator = '\\';

// Standard output may be a pipe or a Linux terminal under Wine: print UTF-8.
std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
    bytes.resize(strlen(bytes.c_str()));
    return bytes;
}

std::wstring wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring units(static_cast<size_t>(size > 0 ? size : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, units.data(), size);
    units.resize(wcslen(units.c_str()));
    return units;
}

// The folder this DLL was loaded from: the launcher's unpack directory.
std::string ownDirectory() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownDirectory), &self);
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()))) ==
           path.size()) {
        path.resize(path.size() * 2);
    }
    path.resize(length);
    return utf8(path.substr(0, path.rfind(L'\\')).c_str());
}

// The variable's value, or null when it is not set.
bool readVariable(const char* name, std::string* value) {
    std::wstring units(kVariableCapacity, L'\0');
    const DWORD length =
        GetEnvironmentVariableW(wide(name).c_str(), units.data(), kVariableCapacity);
    if (length == 0 || length >= kVariableCapacity) {
        return false;
    }
    *value = utf8(units.c_str());
    return true;
}

// Every file below root, with its path relative to the unpack directory.
void printFiles(const std::string& root, const std::string& prefix) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((wide(root) + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = utf8(found.cFileName);
        if (name == "." || name == "..") {
            continue;
        }
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            printFiles(root + "\\" + name, prefix + name + "\\");
            continue;
        }
        printf("  %s%s (%lu bytes)\n", prefix.c_str(), name.c_str(), found.nFileSizeLow);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

FILE* openForReading(const std::string& path) {
    return _wfopen(wide(path).c_str(), L"rb");
}
#else
constexpr char kSeparator = '/';

std::string utf8(const char* text) {
    return text;
}

// The folder this shared object was loaded from: the launcher's unpack
// directory.
std::string ownDirectory() {
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&ownDirectory), &info);
    const std::string path = info.dli_fname != nullptr ? info.dli_fname : "";
    return path.substr(0, path.rfind('/'));
}

bool readVariable(const char* name, std::string* value) {
    const char* const found = getenv(name);
    if (found == nullptr) {
        return false;
    }
    *value = found;
    return true;
}

// Every file below root, with its path relative to the unpack directory
// and its mode.
void printFiles(const std::string& root, const std::string& prefix) {
    DIR* const listing = opendir(root.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        struct stat status {};
        if (name == "." || name == ".." || lstat((root + "/" + name).c_str(), &status) != 0) {
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            printFiles(root + "/" + name, prefix + name + "/");
            continue;
        }
        printf("  %s%s (%lld bytes, mode %o)\n", prefix.c_str(), name.c_str(),
               static_cast<long long>(status.st_size),
               static_cast<unsigned>(status.st_mode & 07777));
    }
    closedir(listing);
}

FILE* openForReading(const std::string& path) {
    return fopen(path.c_str(), "rb");
}
#endif

void printArguments(int argc, ONEFILE_CHAR** argv) {
    printf("arguments (%d):\n", argc);
    for (int i = 0; i < argc; ++i) {
        printf("  argv[%d] = [%s]\n", i, utf8(argv[i]).c_str());
    }
}

void printVariables() {
    const char* const names[] = {"TAMBRO_ONEFILE_PARENT", "TAMBRO_ONEFILE_START",
                                 "TAMBRO_ONEFILE_DIRECTORY", "TAMBRO_ORIGINAL_ARGV0"};
    printf("launcher variables:\n");
    for (const char* name : names) {
        std::string value;
        printf("  %s=%s\n", name, readVariable(name, &value) ? value.c_str() : "(not set)");
    }
}

void printGreeting(const std::string& directory) {
    const std::string name = std::string("data") + kSeparator + "greeting.txt";
    FILE* const file = openForReading(directory + kSeparator + name);
    if (file == nullptr) {
        printf("%s is missing\n", name.c_str());
        return;
    }
    printf("%s says:\n", name.c_str());
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) != 0) {
        fwrite(buffer, 1, got, stdout);
    }
    fclose(file);
}

int requestedExitCode(int argc, ONEFILE_CHAR** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (utf8(argv[i]) == "--exit") {
            return atoi(utf8(argv[i + 1]).c_str());
        }
    }
    return 0;
}

} // namespace

ONEFILE_EXPORT int run_code(int argc, ONEFILE_CHAR** argv) {
    const std::string directory = ownDirectory();
    printf("sample_app: running from %s\n", directory.c_str());
    printArguments(argc, argv);
    printVariables();
    printf("files next to the main file:\n");
    printFiles(directory, "");
    printGreeting(directory);
    const int exitCode = requestedExitCode(argc, argv);
    printf("sample_app: returning %d\n", exitCode);
    fflush(stdout);
    return exitCode;
}
