// Deletes a directory tree with a plain Win32 walk (FindFirstFileW,
// DeleteFileW, RemoveDirectoryW), depth first: the reference that the
// launcher's shell-based delete is compared with.
//
//   delete_tree DIR    prints "files <n> directories <n> seconds <s>"
//
// Exits 1 when anything could not be deleted.
#include <windows.h>
#include <stdio.h>

#include <string>

namespace {

struct Counts {
    long long files = 0;
    long long directories = 0;
    bool failed = false;
};

bool isDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

void deleteTree(const std::wstring& directory, Counts* counts) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (isDotEntry(found.cFileName)) {
                continue;
            }
            const std::wstring path = directory + L"\\" + found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                deleteTree(path, counts);
            } else if (DeleteFileW(path.c_str())) {
                ++counts->files;
            } else {
                counts->failed = true;
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (RemoveDirectoryW(directory.c_str())) {
        ++counts->directories;
    } else {
        counts->failed = true;
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: delete_tree DIR\n");
        return 2;
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Counts counts;
    deleteTree(argv[1], &counts);
    QueryPerformanceCounter(&end);
    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    printf("files %lld directories %lld seconds %.6f\n", counts.files, counts.directories, seconds);
    return counts.failed ? 1 : 0;
}
