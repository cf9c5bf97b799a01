// The extended-length ("\\?\") form of a path, which Windows passes to the
// file system without the MAX_PATH limit, whether or not long paths are
// switched on system-wide. No Windows calls: it builds natively too.
#ifndef CORVELLINTH_PATHS_EXTENDED_PATH_H
#define CORVELLINTH_PATHS_EXTENDED_PATH_H

#include <cstddef>

#include "paths/wide_text.h"

// What the longest prefix adds: "\\server" becomes "\\?\UNC\server".
inline constexpr std::size_t kExtendedPrefixGrowth = 6;

// From this length on, a file path needs the extended form; a directory's
// needs it earlier, as Windows keeps room for an 8.3 name inside it.
inline constexpr std::size_t kLongFilePath = 260;
inline constexpr std::size_t kLongDirectoryPath = 248;

// Appends the extended form of path to text: "D:\x" as "\\?\D:\x",
// "\\server\share\x" as "\\?\UNC\server\share\x", with every '/' written
// as '\' (the extended form takes no other separator). A path that already
// has a "\\?\" or "\\.\" prefix, or that is not absolute, is appended as it
// is. Returns false, and leaves text as it was, when it does not fit.
[[nodiscard]] bool appendExtendedPath(WideText* text, const wchar_t* path);

// The path to hand to the system: path itself when it is shorter than
// longFrom code units, else its extended form built in buffer (capacity
// code units). When the extended form does not fit, path itself.
const wchar_t* systemPathFor(const wchar_t* path, std::size_t longFrom, wchar_t* buffer,
                             std::size_t capacity);

#endif
