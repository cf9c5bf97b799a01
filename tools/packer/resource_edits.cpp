#include "tools/packer/resource_edits.h"

#include "payload/cache_record.h"
#include "tools/packer/cache_package.h"
#include "tools/packer/packaged_writer.h"

namespace packer {
namespace {

constexpr std::uint16_t kLanguageUsEnglish = 0x0409;
constexpr std::uint16_t kFirstIconId = 1;

struct Replaced {
    bool found = false;
    ResourceKey name;
    ResourceKey language;
};

// The attached data, and the cache record that describes it.
bool describesPackage(const ResourceEntry& entry) {
    const ResourceItem attached = attachedDataItem();
    return entry.type == attached.type &&
           (entry.name == attached.name || entry.name == ResourceKey::number(cache::kResourceId));
}

// Notes the first resource of a kind that is being replaced.
void noteReplaced(const ResourceEntry& entry, Replaced* replaced) {
    if (!replaced->found) {
        *replaced = {true, entry.name, entry.language};
    }
}

ResourceKey languageOf(const Replaced& replaced) {
    return replaced.found ? replaced.language : ResourceKey::number(kLanguageUsEnglish);
}

void addIcon(const std::vector<IconImage>& icon, const Replaced& group,
             std::vector<ResourceItem>* items) {
    const ResourceKey language = languageOf(group);
    std::uint16_t id = kFirstIconId;
    for (const IconImage& image : icon) {
        items->push_back(
            {ResourceKey::number(kTypeIcon), ResourceKey::number(id++), language, 0, image.data});
    }
    const ResourceKey name = group.found ? group.name : ResourceKey::number(kFirstIconId);
    items->push_back({ResourceKey::number(kTypeGroupIcon), name, language, 0,
                      iconGroupResource(icon, kFirstIconId)});
}

} // namespace

std::vector<ResourceItem> editResources(const ByteSource& launcher, const PeImage& image,
                                        const ResourceEdits& edits) {
    const bool newIcon = !edits.icon.empty();
    Replaced group;
    Replaced version;
    std::vector<ResourceItem> items;
    std::uint64_t carried = 0;
    for (const ResourceEntry& entry : image.resources) {
        const bool isIcon = entry.type == ResourceKey::number(kTypeIcon);
        const bool isGroup = entry.type == ResourceKey::number(kTypeGroupIcon);
        const bool isVersion = entry.type == ResourceKey::number(kTypeVersion);
        if (newIcon && isGroup) {
            noteReplaced(entry, &group);
        }
        if (edits.versionRecord && isVersion) {
            noteReplaced(entry, &version);
        }
        if (describesPackage(entry) || (newIcon && (isIcon || isGroup)) ||
            (edits.versionRecord && isVersion)) {
            continue;
        }
        carried += entry.size;
        if (carried > kLargestCarriedResources) {
            throw PackError("its resources are larger than a launcher's can be (64 MiB)");
        }
        items.push_back({entry.type, entry.name, entry.language, entry.codePage,
                         launcher.bytes(entry.fileOffset, entry.size)});
    }
    if (newIcon) {
        addIcon(edits.icon, group, &items);
    }
    if (edits.versionRecord) {
        const ResourceKey name = version.found ? version.name : ResourceKey::number(1);
        items.push_back({ResourceKey::number(kTypeVersion), name, languageOf(version), 0,
                         *edits.versionRecord});
    }
    if (edits.cacheRecord) {
        items.push_back(cacheRecordItem(*edits.cacheRecord));
    }
    return items;
}

} // namespace packer
