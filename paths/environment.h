// Environment variables by compiled-in narrow name. Reads return heap
// copies (_wcsdup on Windows, strdup on Linux) that the caller owns;
// absent, empty and over-long values all read as null. Values are path
// text: UTF-16 on Windows, the bytes as they are on Linux.
#ifndef CORVELLINTH_PATHS_ENVIRONMENT_H
#define CORVELLINTH_PATHS_ENVIRONMENT_H

#include <cstddef>

#include "paths/path_text.h"

namespace environment {

inline constexpr char kParent[] = "TAMBRO_ONEFILE_PARENT";
inline constexpr char kStart[] = "TAMBRO_ONEFILE_START";
inline constexpr char kDirectory[] = "TAMBRO_ONEFILE_DIRECTORY";
inline constexpr char kOriginalArgv0[] = "TAMBRO_ORIGINAL_ARGV0";

inline constexpr std::size_t kNameCapacity = 40;     // code units, terminator included
inline constexpr std::size_t kValueCapacity = 32768; // code units, terminator included

} // namespace environment

#ifdef _WIN32
// Widens a narrow name one character at a time with mbstowcs into wide
// (kNameCapacity code units). Ends the process abnormally for a character
// that does not give exactly one code unit, or a name of 40 or more.
void widenEnvironmentName(const char* name, wchar_t* wide);

wchar_t* getEnvironmentValue(const wchar_t* name);
#endif

PathUnit* getEnvironmentValueA(const char* name);
// Sets name to value; a null value removes it.
bool setEnvironmentValueA(const char* name, const PathUnit* value);
bool unsetEnvironmentValueA(const char* name);

#endif
