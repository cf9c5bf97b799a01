// Splits the launcher's unpacking into its parts, one part per run, so that
// each run starts with a fresh process (the remembered directories, the
// file system's caches of the tree):
//
//   unpack_profile decompress DATA          the entry stream through
//                                           readAttachedBytes and the frame to
//                                           its end, nothing written
//   unpack_profile create DATA DIR          directories and empty files only
//   unpack_profile write DATA DIR           files with their sizes' worth of
//                                           data from a static buffer, no
//                                           decompression
//   unpack_profile unpack DATA DIR [N]      the launcher's own unpack loop,
//                                           with N workers (0: none, the
//                                           loop writes on its own thread;
//                                           default: the launcher's choice)
//
// DATA is attached data as onefile-pack --write-attached-data writes it.
// create and write learn the names and sizes in an untimed first pass.
// Prints "mode <m> files <n> directories <n> bytes <n> seconds <s>".
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

#include <cstdint>
#include <string>
#include <vector>

#include "launcher/state.h"
#include "launcher/unpack.h"
#include "launcher/unpack_workers.h"
#include "paths/directories.h"
#include "payload/reader.h"
#include "system/system_calls.h"

namespace {

constexpr std::size_t kHeaderSize = 3;
constexpr std::size_t kChunk = 32768;

unsigned char chunk[kChunk];

struct Entry {
    std::wstring name;
    std::uint64_t size = 0;
};

struct Mapped {
    const unsigned char* data = nullptr;
    std::uint64_t size = 0;
};

Mapped mapFile(const wchar_t* path) {
    Mapped mapped;
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return mapped;
    }
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (mapping == nullptr) {
        return mapped;
    }
    mapped.data = static_cast<const unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    mapped.size = static_cast<std::uint64_t>(size.QuadPart);
    return mapped;
}

// Walks the entry stream the way the unpack loop reads it: names one code
// unit per call, the size in one call, data in 32 KiB calls.
std::vector<Entry> readEntries(const Mapped& data) {
    createReader(data.data + kHeaderSize, data.size - kHeaderSize);
    std::vector<Entry> entries;
    for (;;) {
        Entry entry;
        for (;;) {
            wchar_t unit = 0;
            readAttachedBytes(&unit, 2);
            if (unit == 0) {
                break;
            }
            entry.name.push_back(unit);
        }
        if (entry.name.empty()) {
            break;
        }
        readAttachedBytes(&entry.size, 8);
        for (std::uint64_t left = entry.size; left > 0;) {
            const std::uint64_t piece = left < kChunk ? left : kChunk;
            readAttachedBytes(chunk, piece);
            left -= piece;
        }
        entries.push_back(entry);
    }
    finishAttachedFrame();
    releaseReader();
    return entries;
}

// Creates every file below directory, writing its size in 32 KiB chunks
// when withData is set.
bool createFiles(const std::vector<Entry>& entries, const std::wstring& directory, bool withData) {
    for (const Entry& entry : entries) {
        const std::wstring path = directory + L"\\" + entry.name;
        ensureParentDirectories(path.c_str());
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                        CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            fwprintf(stderr, L"unpack_profile: cannot create %ls\n", path.c_str());
            return false;
        }
        for (std::uint64_t left = withData ? entry.size : 0; left > 0;) {
            const DWORD piece = static_cast<DWORD>(left < kChunk ? left : kChunk);
            DWORD written = 0;
            WriteFile(file, chunk, piece, &written, nullptr);
            left -= piece;
        }
        CloseHandle(file);
    }
    return true;
}

HANDLE WINAPI refuseThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                           LPDWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

void chooseWorkers(const wchar_t* count) {
    const int workers = static_cast<int>(wcstol(count, nullptr, 10));
    if (workers == 0) {
        systemCalls.createThread = refuseThread;
    } else {
        setUnpackWorkerCount(workers);
    }
}

double secondsSince(const LARGE_INTEGER& start) {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc >= 3 ? argv[1] : L"";
    const bool needsDirectory = mode != L"decompress";
    const int arguments = needsDirectory ? 4 : 3;
    if (mode.empty() || argc < arguments || argc > arguments + (mode == L"unpack" ? 1 : 0)) {
        fprintf(stderr, "usage: unpack_profile decompress|create|write|unpack DATA [DIR [N]]\n");
        return 2;
    }
    const Mapped data = mapFile(argv[2]);
    if (data.data == nullptr || data.size <= kHeaderSize) {
        fprintf(stderr, "unpack_profile: cannot map the attached data\n");
        return 2;
    }
    std::vector<Entry> entries;
    if (mode == L"create" || mode == L"write") {
        entries = readEntries(data);
        for (std::size_t i = 0; i < kChunk; ++i) {
            chunk[i] = static_cast<unsigned char>(i * 2654435761u >> 24);
        }
    }
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (mode == L"decompress") {
        entries = readEntries(data);
    } else if (mode == L"create" || mode == L"write") {
        if (!createFiles(entries, argv[3], mode == L"write")) {
            return 1;
        }
    } else if (mode == L"unpack") {
        if (wcslen(argv[3]) >= kTargetDirectoryCapacity) {
            return 2;
        }
        wcscpy(targetDirectory, argv[3]);
        if (argc == 5) {
            chooseWorkers(argv[4]);
        }
        createReader(data.data + kHeaderSize, data.size - kHeaderSize);
        unpackAllEntries();
    } else {
        fprintf(stderr, "unpack_profile: unknown mode\n");
        return 2;
    }
    const double seconds = secondsSince(start);
    std::uint64_t bytes = 0;
    for (const Entry& entry : entries) {
        bytes += entry.size;
    }
    printf("mode %ls files %zu directories %d bytes %llu seconds %.6f\n", mode.c_str(),
           entries.size(), knownDirectoryCount(), static_cast<unsigned long long>(bytes), seconds);
    return 0;
}
