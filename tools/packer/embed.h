// Puts a block of attached data into a copy of the launcher as resource
// RCDATA 27, keeping the launcher's other resources.
#ifndef CORVELLINTH_TOOLS_PACKER_EMBED_H
#define CORVELLINTH_TOOLS_PACKER_EMBED_H

#include <cstddef>
#include <string>

namespace packer {

// Copies launcher to output and adds (or replaces) the attached data in the
// copy. On failure returns false with a one-line reason in *error and leaves
// no output file behind.
bool embedAttachedData(const std::wstring& launcher, const std::wstring& output, const void* data,
                       std::size_t size, std::wstring* error);

// Reads the attached data back out of a packaged executable (without
// running it). Returns false with a reason when there is none.
bool extractAttachedData(const std::wstring& executable, std::string* data, std::wstring* error);

} // namespace packer

#endif
