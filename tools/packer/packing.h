// The steps of onefile-pack that move bytes: the attached data of a source
// tree streamed into a file, and a packaged executable made from a file of
// attached data.
#ifndef CORVELLINTH_TOOLS_PACKER_PACKING_H
#define CORVELLINTH_TOOLS_PACKER_PACKING_H

#include <windows.h>

#include <cstdint>
#include <string>

#include "tools/packer/attached_writer.h"
#include "tools/packer/source_tree.h"

namespace packer {

// Compresses every file of tree, in order, into the attached data and writes
// it to file from its current position, in pieces (memory use does not
// depend on the sizes). displayPath names file in messages. Returns the
// number of bytes written. Throws PackError when a source file cannot be
// read or changes size while it is read, or when file cannot be written.
std::uint64_t writeAttachedDataFile(HANDLE file, const std::wstring& displayPath,
                                    const SourceTree& tree, const WriterOptions& options,
                                    bool showProgress);

// Maps the first size bytes of file (the attached data) read-only and embeds
// them into a copy of launcher named output. Throws PackError on failure,
// and then no output file is left behind.
void embedAttachedDataFile(const std::wstring& launcher, const std::wstring& output, HANDLE file,
                           std::uint64_t size);

} // namespace packer

#endif
