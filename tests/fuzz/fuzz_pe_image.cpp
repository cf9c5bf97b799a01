// Arbitrary bytes as a launcher: the executable reader must refuse them
// with a one-line reason or describe only bytes that are there, and what it
// reads must also be what --sign-command takes for a program; and when
// the writer takes the layout, the package it writes must read back with
// the same resources, the attached data last on a page boundary, and the
// checksum right.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>

#include "tests/fuzz/fuzz_support.h"
#include "tests/native/support/pe_builder.h"
#include "tools/packer/packaged_writer.h"
#include "tools/packer/pe_image.h"
#include "tools/packer/resource_edits.h"

namespace {

using namespace packer;

const std::string kAttached = "KAY attached data of the fuzz target";

using ResourceMap = std::map<std::tuple<ResourceKey, ResourceKey, ResourceKey>, std::string>;

ResourceMap resourcesOf(const ByteSource& source, const PeImage& image) {
    ResourceMap found;
    for (const ResourceEntry& entry : image.resources) {
        failWhen(entry.fileOffset + entry.size > source.size(), "a resource beyond the input");
        found[{entry.type, entry.name, entry.language}] =
            source.bytes(entry.fileOffset, entry.size);
    }
    return found;
}

void checkPackage(const std::string& package, ResourceMap expected) {
    const MemorySource source(package);
    PeImage image;
    try {
        image = readPeImage(source);
    } catch (const PackError& failure) {
        failWhen(true, "the package does not read back: " + failure.message());
    }
    failWhen(image.resourceSection != image.sections.size() - 1, "resources not last");
    const SectionHeader& last = image.sections.back();
    failWhen(last.rawOffset % kPageSize != 0, "resources not on a page boundary");
    failWhen(std::uint64_t{last.rawOffset} + last.rawSize != package.size(), "bytes after them");
    failWhen(loadU32(package, image.optionalOffset + kFieldCheckSum) !=
                 native_support::plainChecksum(package),
             "wrong checksum");
    const ResourceItem attached = attachedDataItem();
    expected[{attached.type, attached.name, attached.language}] = kAttached;
    failWhen(resourcesOf(source, image) != expected, "the resources changed");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const MemorySource source(input);
    try {
        const PeImage image = readPeImage(source);
        failWhen(!isPeImage(source), "read as an executable, yet not taken for a program");
        ResourceMap expected = resourcesOf(source, image);
        const ResourceItem attached = attachedDataItem();
        for (auto entry = expected.begin(); entry != expected.end();) {
            const bool isAttached = std::get<0>(entry->first) == attached.type &&
                                    std::get<1>(entry->first) == attached.name;
            entry = isAttached ? expected.erase(entry) : std::next(entry);
        }
        MemoryOutput output;
        PackagedExecutableWriter writer(source, image, editResources(source, image, {}), output);
        writer.addAttachedData(kAttached.data(), kAttached.size());
        writer.finish();
        checkPackage(output.bytes, expected);
    } catch (const PackError& failure) {
        failWhenNotOneLine(failure.message());
    }
    return 0;
}
