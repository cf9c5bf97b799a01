// Listing a directory, for the walks over the launcher's own directories
// (the delete, the sweep, the check of a cached copy): one
// FindFirstFileExW loop, with links told apart by their attributes.
#ifndef CORVELLINTH_LAUNCHER_DIRECTORY_LISTING_H
#define CORVELLINTH_LAUNCHER_DIRECTORY_LISTING_H

#include <windows.h>

#include "paths/wide_text.h"

// A directory and not a link to one (a reparse point).
// INVALID_FILE_ATTRIBUTES is neither.
bool isRealDirectory(DWORD attributes);

// Called for one entry, which *found describes; false stops the listing.
using ListingVisitor = bool (*)(void* context, const WIN32_FIND_DATAW& found);

// Calls visit(context, *found) for every entry of the directory at *path
// (extended form) but "." and "..", in the listing's order. path is the
// directory's own at each call, and again on return whatever the visitor
// appended. found may be shared by the levels of a recursive walk: the
// listing overwrites it. False when the directory cannot be listed or a
// visitor stopped the listing.
bool listDirectory(WideText* path, WIN32_FIND_DATAW* found, ListingVisitor visit, void* context);

// Appends '\' and name to path. False, with path as it was, when that does
// not fit.
bool appendEntryName(WideText* path, const wchar_t* name);

#endif
