// The packer's side of a cached package (onefile-pack --cache): where its
// copy lives, and the cache record (payload/cache_record.h) that tells the
// launcher so.
//
//   packer::CacheRecordBuilder builder(resolveCacheLocation(location, names));
//   builder.addEntry(u"main.dll", size);         // every entry, in any order
//   builder.addAttachedData(piece, pieceSize);  // all of the attached data
//   const std::string record = builder.record(); // RCDATA 28
#ifndef CORVELLINTH_TOOLS_PACKER_CACHE_PACKAGE_H
#define CORVELLINTH_TOOLS_PACKER_CACHE_PACKAGE_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "payload/cache_record.h"
#include "tools/packer/resource_tree.h"
#include "tools/packer/sha256.h"

namespace packer {

// Where copies go unless --cache-location says otherwise.
inline constexpr char kDefaultCacheLocation[] =
    "{CACHE_DIR}\\CorvellinthOnefile\\{COMPANY}\\{PRODUCT}";

// What {COMPANY}, {PRODUCT} and {VERSION} stand for in a cache location: the
// package's own names, as its version record gives them.
struct PackageNames {
    std::string company; // empty when not given
    std::string product;
    std::string version;
};

struct CacheLocation {
    cache::Root root;
    std::u16string folder; // below the root, '\' separated
};

// The location as the template describes it: {CACHE_DIR}, {TEMP} or {HOME}
// first, then one or more folders separated by '\' or '/', in which
// {COMPANY}, {PRODUCT} and {VERSION} take the values of names made fit for
// a folder name; folders that come out empty are left out. Throws PackError
// (bad command line) for any other form, another placeholder, a folder that
// Windows would not take, or a folder path over 255 code units.
CacheLocation resolveCacheLocation(const std::string& location, const PackageNames& names);

// text as one folder's name: the characters Windows does not allow in names
// become '_', dots and spaces at the end go, and a device name gets a '_'
// in front. Empty when nothing is left.
std::u16string folderNameFor(std::u16string_view text);

// The cache record, RCDATA 28 in the neutral language.
ResourceItem cacheRecordItem(std::string record);

class CacheRecordBuilder {
  public:
    explicit CacheRecordBuilder(CacheLocation location) : location_(std::move(location)) {}

    // One entry of the attached data; a later entry of the same name
    // replaces an earlier one, as it does when unpacked. Throws PackError for
    // a name that equals another ignoring case (on Windows the two would be
    // one file) and for the marker's name at the top.
    void addEntry(const std::u16string& name, std::uint64_t size);

    // The attached data, in order: the key is taken from it.
    void addAttachedData(const void* data, std::size_t size) { key_.add(data, size); }

    // The record: the location, the key (the first 16 bytes of the SHA-256
    // of the attached data added so far, ending the digest) and the listing.
    // Throws PackError when there are no entries, too many, or two listing
    // entries hash alike.
    std::string record();

  private:
    CacheLocation location_;
    std::map<std::u16string, std::uint64_t> files_;
    std::map<std::u16string, std::u16string> folded_; // folded name -> name
    std::set<std::u16string> directories_;
    Sha256 key_;
};

} // namespace packer

#endif
