// Short (8.3) names. On a volume that keeps them, as the system volume
// usually does, Windows gives every file whose name is not a valid 8.3 name
// a second name made from it ("PROGRA~1" for "Program Files"). A file
// created under a name that happens to be another file's short name is that
// other file: the packer refuses folders holding two names that could meet
// this way.
#ifndef CORVELLINTH_TOOLS_PACKER_SHORT_NAMES_H
#define CORVELLINTH_TOOLS_PACKER_SHORT_NAMES_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace packer {

// True when candidate is, or could be, the short name that Windows makes
// for name in the same folder, ignoring case. The short name is the start
// of name's base (spaces and every dot but the last left out, "+,;=[]" made
// '_', in upper case), '~' and a number, then a dot and the first three
// characters of the extension. Kept are six characters for ~1 to ~4 and
// fewer as the number grows (any start of the base matches), or after four
// alike the first two and four hexadecimal digits of a hash. A leading dot
// may or may not count as the extension's. A character outside ASCII,
// which the system's code page maps one way or another, matches any.
// False when name is a valid 8.3 name itself: it gets no short name.
bool couldBeShortNameOf(std::u16string_view candidate, std::u16string_view name);

// True when name could be some file's short name at all: a valid 8.3 name
// (characters outside ASCII allowed) holding a '~'.
bool looksLikeShortName(std::u16string_view name);

// The first pair (alias, other) of indexes into names, the names of one
// folder, for which couldBeShortNameOf(names[alias], names[other]) holds;
// nothing when there is none. Each name is looked at once, not once per
// pair.
std::optional<std::pair<std::size_t, std::size_t>>
findShortNameAlias(const std::vector<std::u16string>& names);

} // namespace packer

#endif
