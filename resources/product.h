// The launcher's compiled-in identity: shared by the version record
// (launcher.rc) and the code that expands {COMPANY}, {PRODUCT}, {VERSION}
// and the unpack spec. The version comes from CMakeLists.txt.
#ifndef CORVELLINTH_RESOURCES_PRODUCT_H
#define CORVELLINTH_RESOURCES_PRODUCT_H

#include "resources/product_version.h"

#define CORVELLINTH_COMPANY_TEXT "Corvellinth"
#define CORVELLINTH_PRODUCT_TEXT "Corvellinth"
#define CORVELLINTH_EXECUTABLE_NAME "Corvellinth.exe"
// The console-subsystem build of the same launcher, for command-line tools.
#define CORVELLINTH_CONSOLE_EXECUTABLE_NAME "CorvellinthConsole.exe"
// The Linux launcher (an ELF executable), for packages that run on Linux.
#define CORVELLINTH_LINUX_EXECUTABLE_NAME "corvellinth"

#define CORVELLINTH_ICON_ID 1
#define CORVELLINTH_MANIFEST_ID 1

#ifndef RC_INVOKED
#include "paths/path_text.h"

namespace product {

inline constexpr PathUnit kCompany[] = PATH_TEXT(CORVELLINTH_COMPANY_TEXT);
inline constexpr PathUnit kProduct[] = PATH_TEXT(CORVELLINTH_PRODUCT_TEXT);
inline constexpr PathUnit kVersion[] = PATH_TEXT(CORVELLINTH_VERSION_TEXT);

// Where each run unpacks: a fresh directory per parent process and start time.
#ifdef _WIN32
inline constexpr PathUnit kUnpackSpec[] = L"{TEMP}\\CorvellinthOnefile\\onefile_{PID}_{TIME}";
#else
inline constexpr PathUnit kUnpackSpec[] = "{TEMP}/CorvellinthOnefile/onefile_{PID}_{TIME}";
// Where a run unpacks when the temporary directory may not run code.
inline constexpr PathUnit kFallbackUnpackSpec[] =
    "{CACHE_DIR}/CorvellinthOnefile/onefile_{PID}_{TIME}";
#endif

// The unpack spec's last component without its two numbers: what a run
// directory's name starts with, as the sweep of finished runs recognises it.
inline constexpr wchar_t kRunDirectoryPrefix[] = L"onefile_";

// Every process that runs from a run directory holds a kernel object named
// this prefix and the directory's name, for as long as it runs.
inline constexpr wchar_t kRunGuardPrefix[] = L"Local\\CorvellinthOnefile_";

} // namespace product
#endif

#endif
