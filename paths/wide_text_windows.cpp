#include <windows.h>
#include <stdio.h>

#include "paths/path_text.h"
#include "paths/wide_text.h"

// Formatted as narrow text and widened byte by byte, as every narrow text
// that becomes part of a path is.
void appendCurrentProcessId(PathText* text) {
    char narrow[kProcessIdTextCapacity];
    // The runtime's own formatting (the standard snprintf brings MinGW's
    // printf into the executable); it may leave a full buffer unterminated.
    narrow[kProcessIdTextCapacity - 1] = '\0';
    _snprintf(narrow, kProcessIdTextCapacity - 1, "%ld", static_cast<long>(GetCurrentProcessId()));
    appendNarrowAsWide(text, narrow);
}
