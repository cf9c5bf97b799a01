// Moving a packaged executable's resource section to a page boundary.
#ifndef CORVELLINTH_TOOLS_PACKER_SECTION_ALIGNMENT_H
#define CORVELLINTH_TOOLS_PACKER_SECTION_ALIGNMENT_H

#include <string>

namespace packer {

inline constexpr unsigned kPageSize = 4096;

// Wine maps a section straight from the file only when its file offset is a
// multiple of the page size; otherwise every start copies the whole section
// (for a packaged executable: all the attached data) into private memory,
// in the parent and again in the child. This moves the resource section
// (and any section stored behind it) to the next page boundary by inserting
// zero bytes before it. Section addresses do not change, so the
// image and its resources stay exactly as they were. The file is shifted
// in place in fixed-size pieces. Returns false with a reason on failure.
bool alignResourceSection(const std::wstring& path, std::wstring* error);

// The file offset of the resource section, or 0 when there is none.
unsigned resourceSectionFileOffset(const std::wstring& path);

} // namespace packer

#endif
