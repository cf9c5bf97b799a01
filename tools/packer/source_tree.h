// The files that onefile-pack packs: every file below a directory, the main
// file first, the rest in a fixed order, so that the same tree always gives
// the same attached data.
#ifndef CORVELLINTH_TOOLS_PACKER_SOURCE_TREE_H
#define CORVELLINTH_TOOLS_PACKER_SOURCE_TREE_H

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

struct SourceFile {
    std::wstring name; // relative to the tree's root, '\' separated: the entry name
    std::wstring path; // full path, for opening and for messages
    std::uint64_t size = 0;
};

struct SourceTree {
    std::wstring root; // full path of the directory, no trailing '\'
    std::vector<SourceFile> files;
    std::uint64_t totalBytes = 0;
};

// Full path of path (relative to the current directory), no trailing '\'
// unless it is a drive root. Throws PackError when it cannot be formed.
std::wstring fullPathOf(const std::wstring& path);

// True when the two full paths name the same file (compared as the file
// system does, without regard to case).
bool samePath(const std::wstring& left, const std::wstring& right);

// The path with the extended-length prefix, so that deep trees open too.
std::wstring extendedPath(const std::wstring& fullPath);

// Lists every file below directory. mainName (either separator, relative to
// directory) becomes the first file; the others follow sorted by the UTF-16
// code units of their names, case-sensitively. Files whose full path is in
// excluded (the packer's own output) are left out. Throws PackError for a
// missing or unreadable directory, a main file that is missing or not a
// file, and a name of 1024 code units or more.
SourceTree collectSourceTree(const std::wstring& directory, const std::wstring& mainName,
                             const std::vector<std::wstring>& excluded);

} // namespace packer

#endif
