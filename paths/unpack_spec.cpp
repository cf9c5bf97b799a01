// Not built yet: every operation here ends the process.
#include "paths/unpack_spec.h"
#include <stdlib.h>

bool expandUnpackSpec(wchar_t*, const wchar_t*, std::size_t) {
    abort();
}
void appendWide(wchar_t*, const wchar_t*, std::size_t) {
    abort();
}
void appendNarrowAsWide(wchar_t*, const char*, std::size_t) {
    abort();
}
