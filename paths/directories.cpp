// Not built yet: every operation here ends the process.
#include "paths/directories.h"
#include <stdlib.h>

bool ensureDirectory(const wchar_t*) {
    abort();
}
void ensureParentDirectories(const wchar_t*) {
    abort();
}
int knownDirectoryCount() {
    abort();
}
const wchar_t* knownDirectory(int) {
    abort();
}
