// Starting the launcher again as the child and waiting for it.
#ifndef CORVELLINTH_LAUNCHER_CHILD_LAUNCH_H
#define CORVELLINTH_LAUNCHER_CHILD_LAUNCH_H

#include <windows.h>

// Publishes TAMBRO_ONEFILE_DIRECTORY and TAMBRO_ORIGINAL_ARGV0, starts the
// child with the user's arguments and the parent's standard handles (the
// console's own, when all three are on the console), waits for it, cleans
// up and returns its exit code (1 when it cannot be read).
DWORD launchChildAndWait();

#endif
