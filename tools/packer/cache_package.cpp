#include "tools/packer/cache_package.h"

#include <algorithm>
#include <vector>

#include "payload/entry_names.h"
#include "tools/packer/byte_io.h"
#include "tools/packer/pack_error.h"
#include "tools/packer/unicode_text.h"

namespace packer {
namespace {

struct RootName {
    const char16_t* placeholder;
    cache::Root root;
};

constexpr RootName kRoots[] = {{u"{CACHE_DIR}", cache::Root::cacheDirectory},
                               {u"{TEMP}", cache::Root::temp},
                               {u"{HOME}", cache::Root::home}};

[[noreturn]] void refuseLocation(const std::string& location, const std::string& reason) {
    throw PackError("--cache-location '" + oneLine(location) + "' " + reason +
                        " (see onefile-pack --help)",
                    kExitUsage);
}

bool startsWithFolded(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && foldCase(text.substr(0, prefix.size())) == prefix;
}

// The value of the placeholder that starts text, and its length; nothing
// when text starts with none of the three.
std::optional<std::pair<std::u16string, std::size_t>> placeholderAt(std::u16string_view text,
                                                                    const PackageNames& names) {
    const std::pair<const char16_t*, const std::string*> values[] = {
        {u"{COMPANY}", &names.company},
        {u"{PRODUCT}", &names.product},
        {u"{VERSION}", &names.version}};
    for (const auto& [placeholder, value] : values) {
        const std::u16string_view name(placeholder);
        if (startsWithFolded(text, name)) {
            return std::make_pair(folderNameFor(utf8ToUtf16(*value).value_or(u"")), name.size());
        }
    }
    return std::nullopt;
}

// One folder of the template with its placeholders replaced.
std::u16string expandFolder(std::u16string_view folder, const PackageNames& names,
                            const std::string& location) {
    std::u16string result;
    for (std::size_t at = 0; at < folder.size();) {
        if (folder[at] != u'{') {
            result += folder[at++];
            continue;
        }
        const auto value = placeholderAt(folder.substr(at), names);
        if (!value) {
            refuseLocation(location, "may use only {COMPANY}, {PRODUCT} and {VERSION} after "
                                     "its first placeholder");
        }
        result += value->first;
        at += value->second;
    }
    return result;
}

std::uint64_t listingHash(cache::EntryKind kind, std::u16string_view name, std::uint64_t size) {
    cache::ListingHash hash = cache::startListingHash(kind);
    for (const char16_t unit : name) {
        cache::addListingUnit(&hash, unit);
    }
    return cache::finishListingHash(hash, size);
}

} // namespace

std::u16string folderNameFor(std::u16string_view text) {
    std::u16string name;
    for (const char16_t unit : text) {
        const bool allowed = unit >= 0x20 && std::u16string_view(u"<>:\"/\\|?*").find(unit) ==
                                                 std::u16string_view::npos;
        name += allowed ? unit : u'_';
    }
    while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) {
        name.pop_back();
    }
    if (!name.empty() && findEntryNameProblem(name.c_str()) == EntryNameProblem::deviceName) {
        name.insert(name.begin(), u'_');
    }
    return name;
}

CacheLocation resolveCacheLocation(const std::string& location, const PackageNames& names) {
    const std::optional<std::u16string> text = utf8ToUtf16(location);
    if (!text) {
        refuseLocation(location, "is not valid UTF-8");
    }
    CacheLocation result{};
    std::size_t start = std::u16string::npos;
    for (const RootName& root : kRoots) {
        if (startsWithFolded(*text, root.placeholder)) {
            result.root = root.root;
            start = std::u16string_view(root.placeholder).size();
        }
    }
    if (start == std::u16string::npos || start == text->size() ||
        (text->at(start) != u'\\' && text->at(start) != u'/')) {
        refuseLocation(location, "must start with {CACHE_DIR}, {TEMP} or {HOME} and a separator");
    }
    for (std::size_t at = start + 1; at <= text->size();) {
        const std::size_t end = std::min(text->find_first_of(u"\\/", at), text->size());
        const std::u16string folder = expandFolder(text->substr(at, end - at), names, location);
        if (!folder.empty()) {
            if (findEntryNameProblem(folder.c_str()) != EntryNameProblem::none) {
                refuseLocation(location, "names a folder that Windows does not allow: '" +
                                             utf16ToUtf8(folder) + "'");
            }
            result.folder += (result.folder.empty() ? u"" : u"\\") + folder;
        }
        at = end + 1;
    }
    if (result.folder.empty()) {
        refuseLocation(location, "needs a folder below its first placeholder");
    }
    if (result.folder.size() > cache::kLongestFolder) {
        refuseLocation(location, "is too long: its folders may have at most 255 characters");
    }
    return result;
}

ResourceItem cacheRecordItem(std::string record) {
    return {ResourceKey::number(kTypeRcData), ResourceKey::number(cache::kResourceId),
            ResourceKey::number(0), 0, std::move(record)};
}

void CacheRecordBuilder::addEntry(const std::u16string& name, std::uint64_t size) {
    const std::u16string marker(cache::kMarkerName,
                                cache::kMarkerName + sizeof(cache::kMarkerName) - 1);
    if (foldCase(name) == foldCase(marker)) {
        throw PackError("cannot cache a package that holds a file named '" + utf16ToUtf8(name) +
                        "' at the top: the launcher marks complete copies with that name");
    }
    // Every directory on the way, then the file, each spelled one way only.
    for (std::size_t end = name.find(u'\\');; end = name.find(u'\\', end + 1)) {
        const std::u16string part = name.substr(0, end);
        const auto [earlier, added] = folded_.emplace(foldCase(part), part);
        if (!added && earlier->second != part) {
            throw PackError("cannot cache a package that holds both '" +
                            utf16ToUtf8(earlier->second) + "' and '" + utf16ToUtf8(part) +
                            "': on Windows they are the same");
        }
        if (end == std::u16string::npos) {
            break;
        }
        directories_.insert(part);
    }
    files_[name] = size;
}

std::string CacheRecordBuilder::record() {
    std::vector<std::uint64_t> hashes;
    for (const auto& [name, size] : files_) {
        hashes.push_back(listingHash(cache::EntryKind::file, name, size));
    }
    for (const std::u16string& directory : directories_) {
        hashes.push_back(listingHash(cache::EntryKind::directory, directory, 0));
    }
    if (hashes.empty() || hashes.size() > cache::kMaximumListed) {
        throw PackError("a cached package must hold 1 to " + std::to_string(cache::kMaximumListed) +
                        " files and folders");
    }
    std::sort(hashes.begin(), hashes.end());
    if (std::adjacent_find(hashes.begin(), hashes.end()) != hashes.end()) {
        throw PackError("two files of the package give the same listing hash; renaming one helps");
    }
    const Sha256::Digest digest = key_.finish();
    std::string bytes(reinterpret_cast<const char*>(cache::kMagic), sizeof(cache::kMagic));
    appendU16(bytes, cache::kVersion);
    appendU16(bytes, static_cast<std::uint16_t>(location_.root));
    bytes.append(reinterpret_cast<const char*>(digest.data()), cache::kKeySize);
    appendU16(bytes, static_cast<std::uint16_t>(location_.folder.size()));
    for (const char16_t unit : location_.folder) {
        appendU16(bytes, unit);
    }
    appendU32(bytes, static_cast<std::uint32_t>(hashes.size()));
    for (const std::uint64_t hash : hashes) {
        appendU64(bytes, hash);
    }
    return bytes;
}

} // namespace packer
