#include "tools/packer/resource_tree.h"

#include <algorithm>
#include <limits>

#include "tools/packer/byte_io.h"
#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::uint32_t kDirectoryHeaderSize = 16;
constexpr std::uint32_t kDirectoryEntrySize = 8;
constexpr std::uint32_t kDataEntrySize = 16;
constexpr std::uint32_t kDataAlignment = 8;
constexpr int kLanguageLevel = 2;
constexpr std::uint64_t kLargestOffset = 0x7FFFFFFF; // offsets in the tree have 31 bits

[[noreturn]] void damaged(const std::string& reason) {
    throw PackError("the resource tree is damaged: " + reason);
}

class TreeReader {
  public:
    TreeReader(const ByteSource& file, std::uint64_t start, std::uint32_t limit,
               const AddressToOffset& locate)
        : file_(file), start_(start), limit_(limit), locate_(locate) {}

    std::vector<ResourceEntry> read() {
        readDirectory(0, 0);
        std::sort(found_.begin(), found_.end(), [](const ResourceEntry& a, const ResourceEntry& b) {
            return std::tie(a.type, a.name, a.language) < std::tie(b.type, b.name, b.language);
        });
        const auto repeated = std::adjacent_find(
            found_.begin(), found_.end(), [](const ResourceEntry& a, const ResourceEntry& b) {
                return a.type == b.type && a.name == b.name && a.language == b.language;
            });
        if (repeated != found_.end()) {
            damaged("resource " + describe(*repeated) + " appears twice");
        }
        return std::move(found_);
    }

  private:
    static std::string describe(const ResourceEntry& entry) {
        return entry.type.describe() + "/" + entry.name.describe() + "/" +
               entry.language.describe();
    }

    // The bytes at offset (from the tree's start), checked against the limit;
    // what names them in the message.
    std::string take(std::uint64_t offset, std::uint64_t count, const std::string& what) const {
        if (offset > limit_ || count > limit_ - offset) {
            damaged("the resource section is too short for " + what);
        }
        return file_.bytes(start_ + offset, static_cast<std::size_t>(count));
    }

    static std::string at(const char* what, std::uint64_t offset) {
        return std::string(what) + " at offset " + std::to_string(offset);
    }

    void readDirectory(std::uint32_t offset, int level) {
        const std::string header = take(offset, kDirectoryHeaderSize, at("the directory", offset));
        const std::uint32_t count = std::uint32_t{loadU16(header, 12)} + loadU16(header, 14);
        visited_ += count;
        if (visited_ > kMaximumTreeEntries) {
            damaged("it has more than " + std::to_string(kMaximumTreeEntries) + " entries");
        }
        const std::string entries = take(std::uint64_t{offset} + kDirectoryHeaderSize,
                                         std::uint64_t{count} * kDirectoryEntrySize,
                                         at("the entries of the directory", offset));
        for (std::uint32_t index = 0; index < count; ++index) {
            const std::uint32_t nameField = loadU32(entries, index * kDirectoryEntrySize);
            const std::uint32_t target = loadU32(entries, index * kDirectoryEntrySize + 4);
            keys_[level] = readKey(nameField);
            const bool isDirectory = (target & kHighBit) != 0;
            if (level < kLanguageLevel && !isDirectory) {
                damaged("an entry of level " + std::to_string(level + 1) +
                        " points at data instead of a directory");
            }
            if (level == kLanguageLevel && isDirectory) {
                damaged("a language entry points at a directory instead of data");
            }
            if (isDirectory) {
                readDirectory(target & ~kHighBit, level + 1);
            } else {
                readData(target);
            }
        }
    }

    ResourceKey readKey(std::uint32_t field) const {
        if ((field & kHighBit) == 0) {
            if (field > std::numeric_limits<std::uint16_t>::max()) {
                damaged("an entry has the identifier " + std::to_string(field) + ", above 65535");
            }
            return ResourceKey::number(static_cast<std::uint16_t>(field));
        }
        const std::uint32_t offset = field & ~kHighBit;
        const std::uint16_t length = loadU16(take(offset, 2, at("the name", offset)), 0);
        const std::string units =
            take(std::uint64_t{offset} + 2, 2u * length, at("the name", offset));
        ResourceKey key{true, 0, {}};
        for (std::size_t index = 0; index < length; ++index) {
            key.name.push_back(static_cast<char16_t>(loadU16(units, 2 * index)));
        }
        return key;
    }

    void readData(std::uint32_t offset) {
        const std::string entry = take(offset, kDataEntrySize, at("the data entry", offset));
        ResourceEntry found{keys_[0], keys_[1], keys_[2], loadU32(entry, 8), 0, loadU32(entry, 4)};
        const std::optional<std::uint64_t> at = locate_(loadU32(entry, 0), found.size);
        if (!at) {
            damaged("the data of resource " + describe(found) + " lies outside the file");
        }
        if (found_.size() == kMaximumResources) {
            damaged("it has more than " + std::to_string(kMaximumResources) + " resources");
        }
        found.fileOffset = *at;
        found_.push_back(std::move(found));
    }

    const ByteSource& file_;
    std::uint64_t start_;
    std::uint32_t limit_;
    const AddressToOffset& locate_;
    ResourceKey keys_[3];
    std::uint64_t visited_ = 0;
    std::vector<ResourceEntry> found_;
};

// The tree's shape: types, their names, their languages (leaf indices).
struct NameNode {
    ResourceKey key;
    std::vector<std::size_t> leaves;
};
struct TypeNode {
    ResourceKey key;
    std::vector<NameNode> names;
};

std::vector<TypeNode> shapeOf(const std::vector<const ResourceItem*>& sorted) {
    std::vector<TypeNode> types;
    for (std::size_t index = 0; index < sorted.size(); ++index) {
        const ResourceItem& item = *sorted[index];
        if (types.empty() || !(types.back().key == item.type)) {
            types.push_back({item.type, {}});
        }
        auto& names = types.back().names;
        if (names.empty() || !(names.back().key == item.name)) {
            names.push_back({item.name, {}});
        }
        names.back().leaves.push_back(index);
    }
    return types;
}

std::uint32_t directorySize(std::size_t entries) {
    return kDirectoryHeaderSize + static_cast<std::uint32_t>(entries) * kDirectoryEntrySize;
}

class SectionBuilder {
  public:
    SectionBuilder(std::vector<const ResourceItem*> sorted, const ResourceItem* streamed,
                   std::uint32_t address)
        : sorted_(std::move(sorted)), streamed_(streamed), address_(address),
          types_(shapeOf(sorted_)) {}

    ResourceSectionLayout build() {
        planOffsets();
        ResourceSectionLayout layout;
        layout.head.assign(checkedSize(streamedOffset_), '\0');
        writeDirectories(layout.head);
        writeDataEntries(layout.head, &layout.streamedSizeField);
        for (const auto& [key, offset] : strings_) {
            storeU16(layout.head, offset, static_cast<std::uint16_t>(key->name.size()));
            for (std::size_t index = 0; index < key->name.size(); ++index) {
                storeU16(layout.head, offset + 2 + 2 * index, key->name[index]);
            }
        }
        for (std::size_t leaf = 0; leaf < sorted_.size(); ++leaf) {
            const ResourceItem& item = *sorted_[leaf];
            if (&item != streamed_) {
                layout.head.replace(dataOffsets_[leaf], item.data.size(), item.data);
                layout.placed.push_back({item.type, item.name, item.language,
                                         static_cast<std::uint32_t>(dataOffsets_[leaf]),
                                         static_cast<std::uint32_t>(item.data.size())});
            }
        }
        layout.streamedOffset = static_cast<std::uint32_t>(streamedOffset_);
        return layout;
    }

  private:
    static std::size_t checkedSize(std::uint64_t size) {
        if (size > kLargestOffset) {
            throw PackError("the resources do not fit in an executable");
        }
        return static_cast<std::size_t>(size);
    }

    void noteString(const ResourceKey& key, std::uint64_t* offset) {
        if (key.named) {
            strings_.emplace_back(&key, *offset);
            *offset += 2 + 2 * std::uint64_t{key.name.size()};
        }
    }

    void planOffsets() {
        std::uint64_t offset = directorySize(types_.size());
        for (const TypeNode& type : types_) {
            typeDirectories_.push_back(offset);
            offset += directorySize(type.names.size());
        }
        for (const TypeNode& type : types_) {
            for (const NameNode& name : type.names) {
                nameDirectories_.push_back(offset);
                offset += directorySize(name.leaves.size());
            }
        }
        dataEntries_ = offset;
        offset += std::uint64_t{kDataEntrySize} * sorted_.size();
        for (const TypeNode& type : types_) {
            noteString(type.key, &offset);
            for (const NameNode& name : type.names) {
                noteString(name.key, &offset);
                for (const std::size_t leaf : name.leaves) {
                    noteString(sorted_[leaf]->language, &offset);
                }
            }
        }
        for (const ResourceItem* item : sorted_) {
            offset = alignUp(offset, kDataAlignment);
            dataOffsets_.push_back(offset);
            offset += item == streamed_ ? 0 : item->data.size();
        }
        streamedOffset_ = alignUp(offset, kDataAlignment);
        if (streamedOffset_ > kLargestOffset || address_ + streamedOffset_ > 0xFFFFFFFFull) {
            throw PackError("the resources do not fit in an executable");
        }
        dataOffsets_[leafOf(streamed_)] = streamedOffset_;
    }

    std::size_t leafOf(const ResourceItem* item) const {
        return static_cast<std::size_t>(std::find(sorted_.begin(), sorted_.end(), item) -
                                        sorted_.begin());
    }

    std::uint32_t nameField(const ResourceKey& key) const {
        if (!key.named) {
            return key.id;
        }
        for (const auto& [named, offset] : strings_) {
            if (named == &key) {
                return kHighBit | static_cast<std::uint32_t>(offset);
            }
        }
        return 0; // every named key was noted in planOffsets
    }

    template <typename Children, typename KeyOf, typename TargetOf>
    void writeDirectory(std::string& head, std::uint64_t at, const Children& children, KeyOf keyOf,
                        TargetOf targetOf) const {
        const auto named = static_cast<std::size_t>(
            std::count_if(children.begin(), children.end(),
                          [&](const auto& child) { return keyOf(child).named; }));
        storeU16(head, at + 12, static_cast<std::uint16_t>(named));
        storeU16(head, at + 14, static_cast<std::uint16_t>(children.size() - named));
        std::uint64_t entry = at + kDirectoryHeaderSize;
        for (std::size_t index = 0; index < children.size(); ++index) {
            storeU32(head, entry, nameField(keyOf(children[index])));
            storeU32(head, entry + 4, static_cast<std::uint32_t>(targetOf(index)));
            entry += kDirectoryEntrySize;
        }
    }

    void writeDirectories(std::string& head) const {
        writeDirectory(
            head, 0, types_, [](const TypeNode& type) -> const ResourceKey& { return type.key; },
            [&](std::size_t index) { return kHighBit | typeDirectories_[index]; });
        std::size_t nameIndex = 0;
        for (std::size_t typeIndex = 0; typeIndex < types_.size(); ++typeIndex) {
            const auto& names = types_[typeIndex].names;
            const std::size_t first = nameIndex;
            writeDirectory(
                head, typeDirectories_[typeIndex], names,
                [](const NameNode& name) -> const ResourceKey& { return name.key; },
                [&](std::size_t index) { return kHighBit | nameDirectories_[first + index]; });
            for (const NameNode& name : names) {
                writeDirectory(
                    head, nameDirectories_[nameIndex++], name.leaves,
                    [&](std::size_t leaf) -> const ResourceKey& { return sorted_[leaf]->language; },
                    [&](std::size_t index) {
                        return dataEntries_ + std::uint64_t{kDataEntrySize} * name.leaves[index];
                    });
            }
        }
    }

    void writeDataEntries(std::string& head, std::uint32_t* streamedSizeField) const {
        for (std::size_t leaf = 0; leaf < sorted_.size(); ++leaf) {
            const std::uint64_t entry = dataEntries_ + std::uint64_t{kDataEntrySize} * leaf;
            storeU32(head, entry, static_cast<std::uint32_t>(address_ + dataOffsets_[leaf]));
            const bool streamed = sorted_[leaf] == streamed_;
            storeU32(head, entry + 4,
                     streamed ? 0 : static_cast<std::uint32_t>(sorted_[leaf]->data.size()));
            storeU32(head, entry + 8, sorted_[leaf]->codePage);
            if (streamed) {
                *streamedSizeField = static_cast<std::uint32_t>(entry + 4);
            }
        }
    }

    std::vector<const ResourceItem*> sorted_;
    const ResourceItem* streamed_;
    std::uint64_t address_;
    std::vector<TypeNode> types_;
    std::vector<std::uint64_t> typeDirectories_;
    std::vector<std::uint64_t> nameDirectories_;
    std::uint64_t dataEntries_ = 0;
    std::vector<std::pair<const ResourceKey*, std::uint64_t>> strings_;
    std::vector<std::uint64_t> dataOffsets_;
    std::uint64_t streamedOffset_ = 0;
};

} // namespace

std::strong_ordering ResourceKey::operator<=>(const ResourceKey& other) const {
    if (named != other.named) {
        return named ? std::strong_ordering::less : std::strong_ordering::greater;
    }
    return named ? name <=> other.name : id <=> other.id;
}

std::string ResourceKey::describe() const {
    if (!named) {
        return std::to_string(id);
    }
    std::string text(1, '"');
    text += oneLine(utf16ToUtf8(name));
    text += '"';
    return text;
}

std::vector<ResourceEntry> readResourceTree(const ByteSource& file, std::uint64_t start,
                                            std::uint32_t limit, const AddressToOffset& locate) {
    return TreeReader(file, start, limit, locate).read();
}

ResourceSectionLayout layOutResourceSection(std::vector<ResourceItem> items,
                                            const ResourceItem& streamed, std::uint32_t address) {
    std::vector<const ResourceItem*> sorted;
    for (const ResourceItem& item : items) {
        sorted.push_back(&item);
    }
    sorted.push_back(&streamed);
    const auto byKey = [](const ResourceItem* a, const ResourceItem* b) {
        return std::tie(a->type, a->name, a->language) < std::tie(b->type, b->name, b->language);
    };
    std::sort(sorted.begin(), sorted.end(), byKey);
    const auto repeated =
        std::adjacent_find(sorted.begin(), sorted.end(), [&](const auto* a, const auto* b) {
            return !byKey(a, b) && !byKey(b, a);
        });
    if (repeated != sorted.end()) {
        throw PackError("resource " + (*repeated)->type.describe() + "/" +
                        (*repeated)->name.describe() + " is given twice");
    }
    return SectionBuilder(std::move(sorted), &streamed, address).build();
}

} // namespace packer
