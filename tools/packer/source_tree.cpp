#include "tools/packer/source_tree.h"

#include <windows.h>

#include <algorithm>

#include "payload/format.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/system_text.h"

namespace packer {
namespace {

constexpr std::size_t kNameUnitLimit = attached::kNameCapacity - 1;
constexpr std::size_t kShownNameUnits = 80; // of an over-long name in a message

bool isExcluded(const std::wstring& path, const std::vector<std::wstring>& excluded) {
    return std::any_of(excluded.begin(), excluded.end(),
                       [&path](const std::wstring& other) { return samePath(path, other); });
}

void checkNameLength(const std::wstring& name) {
    if (name.size() <= kNameUnitLimit) {
        return;
    }
    std::wstring shown = name.substr(0, kShownNameUnits) + L"...";
    throw PackError(L"name of " + std::to_wstring(name.size()) +
                    L" code units is too long (at most 1023): '" + shown + L"'");
}

struct Walk {
    const std::vector<std::wstring>& excluded;
    std::vector<SourceFile>& files;
};

void walkDirectory(const Walk& walk, const std::wstring& directory, const std::wstring& prefix);

void addFound(const Walk& walk, const WIN32_FIND_DATAW& found, const std::wstring& directory,
              const std::wstring& prefix) {
    const std::wstring leaf = found.cFileName;
    if (leaf == L"." || leaf == L"..") {
        return;
    }
    const std::wstring path = directory + L"\\" + leaf;
    const std::wstring name = prefix + leaf;
    checkNameLength(name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A directory link that loops makes the names grow until
        // checkNameLength stops the walk.
        walkDirectory(walk, path, name + L"\\");
        return;
    }
    if (isExcluded(path, walk.excluded)) {
        return;
    }
    const std::uint64_t size =
        (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    walk.files.push_back(SourceFile{name, path, size});
}

void walkDirectory(const Walk& walk, const std::wstring& directory, const std::wstring& prefix) {
    WIN32_FIND_DATAW found;
    const std::wstring pattern = extendedPath(directory) + L"\\*";
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND) {
            return; // nothing in it, not even "." (a drive root)
        }
        throw PackError(describeFailure(L"cannot read directory", directory, code));
    }
    try {
        do {
            addFound(walk, found, directory, prefix);
        } while (FindNextFileW(search, &found));
        const DWORD code = GetLastError();
        if (code != ERROR_NO_MORE_FILES) {
            throw PackError(describeFailure(L"cannot read directory", directory, code));
        }
    } catch (...) {
        FindClose(search);
        throw;
    }
    FindClose(search);
}

// The main file's name as an entry name: '/' turned into '\', empty and "."
// components dropped; ".." and drive letters are refused, since the entry
// must lie below the directory.
std::wstring normaliseMainName(const std::wstring& mainName) {
    std::wstring result;
    std::size_t start = 0;
    while (start <= mainName.size()) {
        std::size_t end = mainName.find_first_of(L"\\/", start);
        if (end == std::wstring::npos) {
            end = mainName.size();
        }
        const std::wstring part = mainName.substr(start, end - start);
        if (part == L".." || part.find(L':') != std::wstring::npos) {
            throw PackError(L"main file '" + mainName + L"' must be a path inside the directory");
        }
        if (!part.empty() && part != L".") {
            result += (result.empty() ? L"" : L"\\") + part;
        }
        start = end + 1;
    }
    if (result.empty()) {
        throw PackError(L"main file '" + mainName + L"' names no file");
    }
    return result;
}

void checkMainFile(const std::wstring& mainName, const std::wstring& path,
                   const std::wstring& directory) {
    const DWORD attributes = GetFileAttributesW(extendedPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        throw PackError(L"main file '" + mainName + L"' not found in '" + directory + L"'");
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        throw PackError(L"main file '" + mainName + L"' is not a file");
    }
}

void checkDirectory(const std::wstring& directory, const std::wstring& root) {
    const DWORD attributes = GetFileAttributesW(extendedPath(root).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot read directory", directory, code));
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        throw PackError(L"'" + directory + L"' is not a directory");
    }
}

} // namespace

std::wstring fullPathOf(const std::wstring& path) {
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    const DWORD length =
        needed == 0 ? 0 : GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) {
        const DWORD code = GetLastError();
        throw PackError(describeFailure(L"cannot resolve", path, code));
    }
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\') {
        full.pop_back();
    }
    return full;
}

bool samePath(const std::wstring& left, const std::wstring& right) {
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

std::wstring extendedPath(const std::wstring& fullPath) {
    if (fullPath.rfind(L"\\\\?\\", 0) == 0) {
        return fullPath;
    }
    if (fullPath.rfind(L"\\\\", 0) == 0) {
        return L"\\\\?\\UNC\\" + fullPath.substr(2);
    }
    return L"\\\\?\\" + fullPath;
}

SourceTree collectSourceTree(const std::wstring& directory, const std::wstring& mainName,
                             const std::vector<std::wstring>& excluded) {
    SourceTree tree;
    tree.root = fullPathOf(directory);
    checkDirectory(directory, tree.root);
    const std::wstring main = normaliseMainName(mainName);
    checkMainFile(mainName, tree.root + L"\\" + main, directory);
    checkNameLength(main);

    walkDirectory(Walk{excluded, tree.files}, tree.root, L"");
    std::sort(tree.files.begin(), tree.files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    // The file system may match the main file's name without regard to case;
    // the entry takes the name as it is on disk.
    auto first = std::find_if(tree.files.begin(), tree.files.end(),
                              [&main](const SourceFile& file) { return file.name == main; });
    if (first == tree.files.end()) {
        first = std::find_if(tree.files.begin(), tree.files.end(),
                             [&main](const SourceFile& file) { return samePath(file.name, main); });
    }
    if (first == tree.files.end()) {
        throw PackError(L"main file '" + mainName + L"' not found in '" + directory + L"'");
    }
    std::rotate(tree.files.begin(), first, first + 1);
    for (const SourceFile& file : tree.files) {
        tree.totalBytes += file.size;
    }
    return tree;
}

} // namespace packer
