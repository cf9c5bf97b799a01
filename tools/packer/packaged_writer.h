// Writes a packaged executable: a copy of the launcher whose resource
// section is replaced by a new last section, at a page-aligned file offset,
// holding the launcher's resources (as edited by the caller) and, last, the
// attached data as resource RCDATA 27. The attached data streams through:
// nothing of it is held in memory.
//
//   PackagedExecutableWriter writer(launcher, image, resources, output);
//   writer.addAttachedData(piece, size); // as often as needed
//   writer.finish();
//
// A launcher whose resource section is followed by a section other than
// the base relocations (which move down in its place) is refused. The
// file's overlay, an Authenticode signature among it, is not copied: it
// would no longer match.
#ifndef CORVELLINTH_TOOLS_PACKER_PACKAGED_WRITER_H
#define CORVELLINTH_TOOLS_PACKER_PACKAGED_WRITER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/packer/byte_io.h"
#include "tools/packer/image_checksum.h"
#include "tools/packer/pe_image.h"
#include "tools/packer/resource_tree.h"

namespace packer {

// The attached data's place in the resource tree: RCDATA 27, neutral language.
ResourceItem attachedDataItem();

class PackagedExecutableWriter {
  public:
    // Writes everything before the attached data. resources must not hold
    // the attached data's key. Throws PackError when the launcher's layout
    // leaves no way to add the section, or when output fails.
    PackagedExecutableWriter(const ByteSource& launcher, const PeImage& image,
                             std::vector<ResourceItem> resources, OutputSink& output);

    // Appends attached data. Throws PackError when the executable cannot
    // hold that much (the format's addresses and sizes have 32 bits).
    void addAttachedData(const void* data, std::size_t size);

    // Replaces the data of a resource given to the constructor, matched by
    // type, name and language, with item.data of the same size: for data
    // known only once the attached data is through. Throws std::logic_error
    // when there is no such resource or the size differs.
    void replaceResourceData(const ResourceItem& item);

    // Completes the section and writes the final headers and checksum.
    // Throws PackError when no attached data was added.
    void finish();

    std::uint64_t attachedSize() const { return attached_; }
    // The most attached data that this launcher's copy can carry.
    std::uint64_t attachedLimit() const { return limit_; }

  private:
    void planSections();
    void writeStart();
    void copyFromLauncher(std::uint64_t offset, std::uint64_t count);
    std::string finalHeaders(const SectionHeader& resources) const;

    const ByteSource& launcher_;
    const PeImage& image_;
    CountingOutput output_;
    std::vector<SectionHeader> sections_; // kept and moved sections, in order
    bool relocationsMoved_ = false;       // into the old resource section's place
    std::int64_t relocationShift_ = 0;    // how far they moved, in addresses
    std::uint64_t keptRawEnd_ = 0;
    std::uint32_t resourceAddress_ = 0;
    std::uint32_t resourceOffset_ = 0; // file offset of the new section
    std::uint32_t resourceCharacteristics_ = 0;
    ResourceSectionLayout layout_;
    std::uint64_t attached_ = 0;
    std::uint64_t limit_ = 0;
    ImageChecksum checksum_; // of everything written except the headers and the layout's head
};

} // namespace packer

#endif
