// Not built yet: every operation here ends the process.
#include "paths/executable_path.h"
#include <stdlib.h>

const wchar_t* getExecutablePath(bool) {
    abort();
}
void resolveExecutablePath(wchar_t*, std::size_t) {
    abort();
}
void shortenDirectoryPart(wchar_t*, std::size_t) {
    abort();
}
