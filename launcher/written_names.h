// The names that one unpacking has written so far, as the whole-name keys
// of payload/entry_names.h: whether an entry may name a file that an
// earlier entry wrote, which it may then replace. Main thread only.
#ifndef CORVELLINTH_LAUNCHER_WRITTEN_NAMES_H
#define CORVELLINTH_LAUNCHER_WRITTEN_NAMES_H

#include <cstdint>

// Starts an unpacking with no name written.
void forgetWrittenNames();

// Records key as written. True when it was already recorded: an earlier
// entry may have had the same name (equal keys may still be different
// names). Ends the process with "Error, couldn't allocate memory." when the
// set cannot grow.
bool recordWrittenName(std::uint64_t key);

#endif
