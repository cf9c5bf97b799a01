// Not built yet: every operation here ends the process.
#include "payload/reader.h"
#include <stdlib.h>

void createReader(const unsigned char*, std::uint64_t) {
    abort();
}
void readAttachedBytes(void*, std::uint64_t) {
    abort();
}
void releaseReader() {
    abort();
}
