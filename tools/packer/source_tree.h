// The files that onefile-pack packs: every file below a directory, the main
// file first, the rest sorted by the UTF-16 code units of their names, so
// that the same tree gives the same attached data on every platform. Names
// that the launcher would refuse, or that Windows would take for one
// another, are refused here, naming the file.
#ifndef CORVELLINTH_TOOLS_PACKER_SOURCE_TREE_H
#define CORVELLINTH_TOOLS_PACKER_SOURCE_TREE_H

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

struct SourceFile {
    std::u16string name; // relative to the tree's root, '\' separated: the entry name
    std::string path;    // full path, for opening and for messages
    std::uint64_t size = 0;
    bool executable = false; // its owner may execute it (never on Windows)
};

struct SourceTree {
    std::string root; // full path of the directory
    std::vector<SourceFile> files;
    std::uint64_t totalBytes = 0;
};

// Lists every file below directory. mainName (either separator, relative
// to directory, matched ignoring case when no name matches exactly) becomes
// the first file. Files whose full path is in excluded (the packer's own
// output) are left out. Throws PackError for a missing or unreadable
// directory; a main file that is missing, outside the tree or not a file; a
// name that is not valid Unicode, that the launcher refuses, of 1024 code
// units or more, or that equals another in its directory ignoring case; and
// anything that is neither a file nor a directory.
SourceTree collectSourceTree(const std::string& directory, const std::string& mainName,
                             const std::vector<std::string>& excluded);

// The positions in tree.files (in the entry stream) of the files that a
// Linux package unpacks executable: those whose owner may execute them.
// Where files have no execute bit (Windows), those that start as a program
// does: "#!" or the ELF magic. Throws PackError when such a file cannot be
// read.
std::vector<std::uint32_t> executableEntries(const SourceTree& tree);

} // namespace packer

#endif
