/* Kept in C on purpose: any C++ library header switches MinGW's stdio to
 * its own portable printf, which would add about 20 KiB to the launcher.
 * Here the runtime's (msvcrt's) vfprintf is used, whose %ls and %ld are all
 * the launcher's messages need. */
#include "diagnostics/runtime_output.h"

#include <stdarg.h>
#include <stdio.h>

void printToStandardError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fflush(stderr);
}
