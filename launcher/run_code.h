/* The entry point that a packaged application's main DLL exports.
 *
 * The launcher's child process loads the first file of the attached data
 * as a DLL and calls run_code with the process's argument count and wide
 * argument vector (element 0 is the launcher's full path, the rest are the
 * user's arguments). Its return value becomes the exit code that the user
 * sees. Include this header in the DLL's source and define the function:
 *
 *     #include "run_code.h"
 *     ONEFILE_EXPORT int run_code(int argc, wchar_t** argv) { ... }
 */
#ifndef CORVELLINTH_RUN_CODE_H
#define CORVELLINTH_RUN_CODE_H

#include <wchar.h>

#ifdef __cplusplus
#define ONEFILE_EXTERN_C extern "C"
#else
#define ONEFILE_EXTERN_C
#endif

#define ONEFILE_EXPORT ONEFILE_EXTERN_C __declspec(dllexport)

/* The exported name that the launcher looks up. */
#define ONEFILE_ENTRY_POINT_NAME "run_code"

typedef int (*onefile_run_code_fn)(int argc, wchar_t** argv);

ONEFILE_EXPORT int run_code(int argc, wchar_t** argv);

#endif
