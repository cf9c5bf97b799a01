// Not built yet: every operation here ends the process.
#include "launcher/child_launch.h"
#include <stdlib.h>

DWORD launchChildAndWait() {
    abort();
}
