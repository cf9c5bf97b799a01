// The files that onefile-pack packs: every file below a directory, the main
// file first, the rest sorted by the UTF-16 code units of their names, so
// that the same tree gives the same attached data on every platform. Names
// that the launcher would refuse, or that the system unpacking them would
// take for one another, are refused here, naming the file.
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
    // Links followed that lead outside the directory, each a line to show.
    std::vector<std::string> warnings;
    // The paths of excluded that the walk met (by name or through a link).
    std::vector<std::string> excludedMet;
};

// The name rules a tree is held to besides the launcher's own. Names of a
// folder that differ only in case are refused for either system (a
// case-folding directory, Windows's or a Linux casefold one, would make one
// replace the other). Names that could be another's short (8.3) name are
// refused only for Windows: the Linux launcher creates each entry under
// its exact name in its own directory on a Linux file system, where no file
// has a second, short name, so "abcd~1.txt" beside "abcdefghij.txt" is two
// files there, and refusing it would turn away a tree that unpacks soundly.
enum class NameRules { forWindows, forLinux };

// Lists every file below directory, following links. mainName (either
// separator, relative to directory, matched ignoring case when no name
// matches exactly) becomes the first file. Files that are one of excluded
// (the packer's own output), named as given or reached through a link, are
// left out. Throws PackError for a missing or unreadable directory; a main
// file that is missing, outside the tree or not a file; a name that is not
// valid Unicode, that the launcher refuses, of 1024 code units or more,
// that equals another in its directory ignoring case, or that could be the
// short (8.3) name of another there (with NameRules::forWindows); and
// anything that is neither a file nor a directory.
SourceTree collectSourceTree(const std::string& directory, const std::string& mainName,
                             const std::vector<std::string>& excluded,
                             NameRules rules = NameRules::forWindows);

// The positions in tree.files (in the entry stream) of the files that a
// Linux package unpacks executable: those whose owner may execute them.
// Where files have no execute bit (Windows), those that start as a program
// does: "#!" or the ELF magic. Throws PackError when such a file cannot be
// read.
std::vector<std::uint32_t> executableEntries(const SourceTree& tree);

} // namespace packer

#endif
