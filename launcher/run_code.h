/* The entry point that a packaged application's main file exports.
 *
 * Windows: the launcher's child process loads the first file of the
 * attached data as a DLL and calls run_code with the process's argument
 * count and wide argument vector (element 0 is the launcher's full path,
 * the rest are the user's arguments).
 *
 * Linux: the child loads it as a shared object (dlopen, RTLD_NOW) and calls
 * run_code with the argument count and vector (element 0 is the packaged
 * program's absolute path, the rest are the user's arguments unchanged).
 *
 * Its return value becomes the exit code that the user sees (on Linux its
 * low 8 bits). Include this header in the main file's source and define the
 * function:
 *
 *     #include "run_code.h"
 *     ONEFILE_EXPORT int run_code(int argc, ONEFILE_CHAR** argv) { ... }
 */
#ifndef CORVELLINTH_RUN_CODE_H
#define CORVELLINTH_RUN_CODE_H

#include <wchar.h>

#ifdef __cplusplus
#define ONEFILE_EXTERN_C extern "C"
#else
#define ONEFILE_EXTERN_C
#endif

#ifdef _WIN32
#define ONEFILE_EXPORT ONEFILE_EXTERN_C __declspec(dllexport)
typedef wchar_t ONEFILE_CHAR;
#else
#define ONEFILE_EXPORT ONEFILE_EXTERN_C __attribute__((visibility("default")))
typedef char ONEFILE_CHAR;
#endif

/* The exported name that the launcher looks up. */
#define ONEFILE_ENTRY_POINT_NAME "run_code"

typedef int (*onefile_run_code_fn)(int argc, ONEFILE_CHAR** argv);

ONEFILE_EXPORT int run_code(int argc, ONEFILE_CHAR** argv);

#endif
