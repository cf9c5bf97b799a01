// Not built yet: every operation here ends the process.
#include "launcher/cleanup.h"
#include <stdlib.h>

void cleanupOnExit() {
    abort();
}
BOOL WINAPI consoleControlHandler(DWORD) {
    abort();
}
