#include "tools/packer/source_tree.h"

#include <algorithm>
#include <map>

#include "payload/entry_names.h"
#include "payload/format.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/platform.h"
#include "tools/packer/short_names.h"
#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::size_t kNameUnitLimit = attached::kNameCapacity - 1;
constexpr std::size_t kShownNameUnits = 80; // of an over-long name in a message
constexpr std::string_view kScriptStart = "#!";
constexpr std::string_view kElfStart = "\x7F"
                                       "ELF";

std::string joinPath(const std::string& directory, const std::string& leaf) {
    return directory.back() == kPathSeparator ? directory + leaf
                                              : directory + kPathSeparator + leaf;
}

const char* describeProblem(EntryNameProblem problem) {
    switch (problem) {
    case EntryNameProblem::dotOrSpaceAtEnd:
        return "its name ends in a dot or a space, which Windows drops";
    case EntryNameProblem::reservedCharacter:
        return "its name holds a character that Windows does not allow in names";
    case EntryNameProblem::unpairedSurrogate:
        return "its name is not valid Unicode";
    case EntryNameProblem::deviceName:
        return "its name is a device name on Windows";
    case EntryNameProblem::emptyComponent:
    case EntryNameProblem::none:
        break;
    }
    return "its name is empty";
}

void checkNameLength(const std::u16string& name) {
    if (name.size() <= kNameUnitLimit) {
        return;
    }
    const std::string shown = utf16ToUtf8(name.substr(0, kShownNameUnits)) + "...";
    throw PackError("name of " + std::to_string(name.size()) +
                    " code units is too long (at most 1023): '" + shown + "'");
}

// The entry name of item below prefix, refused with the reason when the
// launcher could not create it as it is.
std::u16string entryNameOf(const DirectoryItem& item, const std::string& path,
                           const std::u16string& prefix) {
    const std::optional<std::u16string> leaf =
        item.validName ? utf8ToUtf16(item.name) : std::nullopt;
    if (!leaf) {
        throw PackError("cannot pack '" + path + "': its name is not valid Unicode");
    }
    if (leaf->find(u'\\') != std::u16string::npos) {
        throw PackError("cannot pack '" + path +
                        "': its name holds '\\', which Windows takes for a separator");
    }
    const std::u16string name = prefix + *leaf;
    checkNameLength(name);
    const EntryNameProblem problem = findEntryNameProblem(name.c_str());
    if (problem != EntryNameProblem::none) {
        throw PackError("cannot pack '" + path + "': " + describeProblem(problem));
    }
    return name;
}

// An item of a folder with the names it is packed under.
struct NamedItem {
    const DirectoryItem* item;
    std::string path;
    std::u16string name; // the entry name
    std::u16string leaf; // its last component
};

// Two names of one folder that the target system could take for one file:
// equal ignoring case, or (on Windows) one the short name of the other.
// Refused, naming both.
void checkAliases(const std::vector<NamedItem>& named, NameRules rules) {
    std::map<std::u16string, const NamedItem*> seen; // folded name -> item
    for (const NamedItem& entry : named) {
        const auto [earlier, added] = seen.emplace(foldCase(entry.leaf), &entry);
        if (!added) {
            throw PackError("'" + earlier->second->path + "' and '" + entry.path +
                            "' differ only in case: on Windows one would replace the other");
        }
    }
    if (rules != NameRules::forWindows) {
        return;
    }
    std::vector<std::u16string> leaves;
    for (const NamedItem& entry : named) {
        leaves.push_back(entry.leaf);
    }
    if (const auto alias = findShortNameAlias(leaves)) {
        throw PackError("'" + named[alias->first].path + "' could be the short name of '" +
                        named[alias->second].path + "': on Windows one would replace the other");
    }
}

struct Excluded {
    std::string path;
    FileStatus status;
};

class Walk {
  public:
    Walk(const std::string& root, const std::vector<std::string>& excluded, NameRules rules)
        : root_(root), rules_(rules) {
        for (const std::string& path : excluded) {
            excluded_.push_back({path, statusOf(path)});
        }
    }

    void directory(const std::string& path, const std::u16string& prefix) {
        std::vector<DirectoryItem> items = listDirectory(path);
        // Sorted first, so that the clash found and named is the same on
        // every platform.
        std::sort(items.begin(), items.end(),
                  [](const DirectoryItem& a, const DirectoryItem& b) { return a.name < b.name; });
        std::vector<NamedItem> named;
        for (const DirectoryItem& item : items) {
            const std::string itemPath = joinPath(path, item.name);
            const std::u16string name = entryNameOf(item, itemPath, prefix);
            named.push_back({&item, itemPath, name, name.substr(prefix.size())});
        }
        checkAliases(named, rules_);
        for (const NamedItem& entry : named) {
            if (entry.item->isLink) {
                noteLink(entry.path);
            }
            add(*entry.item, entry.path, entry.name);
        }
    }

    std::vector<SourceFile> files;
    std::vector<std::string> warnings;
    std::vector<std::string> excludedMet;

  private:
    void add(const DirectoryItem& item, const std::string& path, const std::u16string& name) {
        switch (item.status.kind) {
        case FileKind::directory:
            // A link that loops makes the names grow until checkNameLength
            // stops the walk.
            directory(path, name + u'\\');
            return;
        case FileKind::file:
            if (!isExcluded(path, item.status.size)) {
                files.push_back(SourceFile{name, path, item.status.size, item.status.executable});
            }
            return;
        case FileKind::missing:
            throw PackError(describeFailure("cannot read", path, item.status.error));
        case FileKind::other:
            break;
        }
        throw PackError("cannot pack '" + path + "': it is neither a file nor a directory");
    }

    // A link is followed wherever it leads; one that leads out of the
    // directory is named, since what it packs is not what the directory
    // holds.
    void noteLink(const std::string& path) {
        if (!realRoot_) {
            realRoot_ = realPathOf(root_).value_or(root_);
        }
        const std::optional<std::string> target = realPathOf(path);
        if (target && !isWithin(*target, *realRoot_)) {
            warnings.push_back("'" + path + "' is a link to '" + *target + "', outside '" + root_ +
                               "': what it leads to is packed");
        }
    }

    // One of excluded: by name, or the same file reached another way (only
    // a file of the same size can be).
    bool isExcluded(const std::string& path, std::uint64_t size) {
        for (const Excluded& other : excluded_) {
            const bool same = samePath(path, other.path) ||
                              (other.status.kind == FileKind::file && other.status.size == size &&
                               sameFile(path, other.path));
            if (same) {
                excludedMet.push_back(other.path);
                return true;
            }
        }
        return false;
    }

    std::string root_;
    NameRules rules_;
    std::optional<std::string> realRoot_;
    std::vector<Excluded> excluded_;
};

// The main file's name as an entry name: '/' turned into '\', empty and "."
// components dropped; ".." and drive letters are refused, since the entry
// must lie below the directory.
std::u16string normaliseMainName(const std::string& mainName) {
    const std::u16string given = utf8ToUtf16(mainName).value_or(u"");
    std::u16string result;
    std::size_t start = 0;
    while (start <= given.size()) {
        std::size_t end = given.find_first_of(u"\\/", start);
        end = end == std::u16string::npos ? given.size() : end;
        const std::u16string part = given.substr(start, end - start);
        if (part == u".." || part.find(u':') != std::u16string::npos) {
            throw PackError("main file '" + mainName + "' must be a path inside the directory");
        }
        if (!part.empty() && part != u".") {
            result += (result.empty() ? u"" : u"\\") + part;
        }
        start = end + 1;
    }
    if (result.empty()) {
        throw PackError("main file '" + mainName + "' names no file");
    }
    return result;
}

void checkDirectory(const std::string& directory, const std::string& root) {
    const FileStatus status = statusOf(root);
    if (status.kind == FileKind::missing) {
        throw PackError(describeFailure("cannot read directory", directory, status.error));
    }
    if (status.kind != FileKind::directory) {
        throw PackError("'" + directory + "' is not a directory");
    }
}

// Moves the main file to the front: the name as given, else the one name
// that equals it ignoring case (the tree holds no two such names).
void putMainFirst(SourceTree* tree, const std::u16string& main, const std::string& mainName,
                  const std::string& directory) {
    auto& files = tree->files;
    auto first = std::find_if(files.begin(), files.end(),
                              [&main](const SourceFile& file) { return file.name == main; });
    if (first == files.end()) {
        const std::u16string folded = foldCase(main);
        first = std::find_if(files.begin(), files.end(), [&folded](const SourceFile& file) {
            return foldCase(file.name) == folded;
        });
    }
    if (first == files.end()) {
        std::u16string relative = main;
        std::replace(relative.begin(), relative.end(), u'\\', char16_t{kPathSeparator});
        if (statusOf(joinPath(tree->root, utf16ToUtf8(relative))).kind == FileKind::directory) {
            throw PackError("main file '" + mainName + "' is not a file");
        }
        throw PackError("main file '" + mainName + "' not found in '" + directory + "'");
    }
    std::rotate(files.begin(), first, first + 1);
}

// Whether a file starts as a program does: read only when the file system
// keeps no execute bit.
bool startsAsProgram(const SourceFile& file) {
    InputFile input(file.path);
    char start[kElfStart.size()] = {};
    const std::string_view read(start, input.readNext(start, sizeof start));
    return read.substr(0, kScriptStart.size()) == kScriptStart || read == kElfStart;
}

} // namespace

SourceTree collectSourceTree(const std::string& directory, const std::string& mainName,
                             const std::vector<std::string>& excluded, NameRules rules) {
    SourceTree tree;
    tree.root = fullPathOf(directory);
    checkDirectory(directory, tree.root);
    const std::u16string main = normaliseMainName(mainName);

    Walk walk(tree.root, excluded, rules);
    walk.directory(tree.root, u"");
    tree.files = std::move(walk.files);
    tree.warnings = std::move(walk.warnings);
    tree.excludedMet = std::move(walk.excludedMet);
    std::sort(tree.files.begin(), tree.files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    putMainFirst(&tree, main, mainName, directory);
    for (const SourceFile& file : tree.files) {
        tree.totalBytes += file.size;
    }
    return tree;
}

std::vector<std::uint32_t> executableEntries(const SourceTree& tree) {
    std::vector<std::uint32_t> indices;
    for (std::size_t index = 0; index < tree.files.size(); ++index) {
        const SourceFile& file = tree.files[index];
        if (kFilesHaveExecuteBit ? file.executable : startsAsProgram(file)) {
            indices.push_back(static_cast<std::uint32_t>(index));
        }
    }
    return indices;
}

} // namespace packer
