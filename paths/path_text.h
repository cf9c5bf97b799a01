// Paths as the system takes them: UTF-16 code units (wchar_t) on Windows,
// UTF-8 bytes (char) on Linux, each with its own separator. The portable
// code that builds paths (the unpack spec, the environment) is written once
// over PathUnit and compiled for the system at hand.
#ifndef CORVELLINTH_PATHS_PATH_TEXT_H
#define CORVELLINTH_PATHS_PATH_TEXT_H

#include <cstddef>

#include "paths/bounded_text.h"

#ifdef _WIN32
using PathUnit = wchar_t;
#define PATH_TEXT(text) L"" text
inline constexpr PathUnit kPathSeparator = L'\\';
#else
using PathUnit = char;
#define PATH_TEXT(text) "" text
inline constexpr PathUnit kPathSeparator = '/';
#endif

using PathText = BoundedText<PathUnit>;

inline constexpr std::size_t kProcessIdTextCapacity = 128; // "%ld" of a process id

// Appends the current process identifier, formatted "%ld" (at most
// kProcessIdTextCapacity code units).
void appendCurrentProcessId(PathText* text);

#endif
