// Deleting a directory tree that this process made, without ever touching
// anything outside it. Links (any reparse point) are removed themselves,
// never entered. Under Wine a link made on the Linux side may look like the
// file or directory it points to, and deleting it would delete its target;
// so every entry is checked through the handle that deletes it: its final
// path (GetFinalPathNameByHandleW, or, where Wine's fails for a path longer
// than about 265 units, the handle's object name) must lie strictly below
// the root's final path, recorded when the root was created. Whatever
// cannot be shown to be inside stays, and nothing is deleted on a system
// without GetFinalPathNameByHandleW. Paths
// reach the system in the extended-length form, so the 260-unit limit does
// not apply; entries whose path does not fit kTargetDirectoryCapacity are
// left in place.
#ifndef CORVELLINTH_LAUNCHER_TREE_DELETE_H
#define CORVELLINTH_LAUNCHER_TREE_DELETE_H

#include <cstddef>

#include "launcher/path_capacities.h"

// Writes the final path of the directory at path (a link at its end is not
// followed) into finalPath, capacity code units, aligned as alignas(8)
// aligns it. False when it cannot be opened, the system has no final paths,
// or the result does not fit.
bool readFinalPath(const wchar_t* path, wchar_t* finalPath, std::size_t capacity);

// One attempt at deleting the tree at root, whose final path is
// rootFinalPath. Returns true when the root is still there afterwards and
// still is that directory (not a link, not another place): worth another
// attempt. False when it is gone, or when it is no longer the directory
// that was recorded, which is then left alone. Uses no shared buffer: two
// threads may run it at once. Reports nothing.
bool treeRemainsAfterDeleting(const wchar_t* root, const wchar_t* rootFinalPath);

// True when the final path of entry, a handle this process opened, lies
// strictly below rootFinalPath: what it writes through the handle stays
// inside. False also when it cannot be shown.
bool isHeldEntryBelow(void* entry, const wchar_t* rootFinalPath);

// True when the final path of entry, a handle this process opened, is
// rootFinalPath, '\' and name, with name compared as the system compares
// names (ordinal, ignoring case): entry is the file of that very name, not
// one that a short (8.3) name or a link led to. False also when it cannot
// be shown.
bool isHeldEntryNamed(void* entry, const wchar_t* rootFinalPath, const wchar_t* name);

// Marks entry, a handle this process opened with DELETE access, for
// deletion when its final path lies strictly below rootFinalPath; it goes
// when its last handle closes. False when it cannot be shown to lie there
// or cannot be marked.
bool deleteHeldEntry(void* entry, const wchar_t* rootFinalPath);

// Marks entry, opened with DELETE access, for deletion without a check.
// False, with the last error, when the system refuses.
bool markHeldForDeletion(void* entry);

// True when entry, a file this process opened, has exactly one name (no
// hard link elsewhere shares its content and attributes): only then may
// anything that this run did not create be written or emptied through it.
bool hasSingleLink(void* entry);

#endif
