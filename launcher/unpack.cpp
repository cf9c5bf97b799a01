// Not built yet: every operation here ends the process.
#include "launcher/unpack.h"
#include <stdlib.h>

void unpackAllEntries() {
    abort();
}
int runApplicationFromFirstEntry() {
    abort();
}
