// Starting the launcher again as the child and waiting for it.
#ifndef CORVELLINTH_LAUNCHER_CHILD_LAUNCH_H
#define CORVELLINTH_LAUNCHER_CHILD_LAUNCH_H

#include <windows.h>

// Publishes TAMBRO_ONEFILE_DIRECTORY and TAMBRO_ORIGINAL_ARGV0 (publishRun-
// Variables), starts the child with the user's arguments and the parent's
// standard handles (the console's own, when all three are on the console),
// waits for it, cleans up and returns its exit code (1 when it cannot be
// read).
DWORD launchChildAndWait();

// Sets TAMBRO_ONEFILE_DIRECTORY (the directory of the launcher's plain
// path) and TAMBRO_ORIGINAL_ARGV0 (the program as the user invoked it).
void publishRunVariables();

// The argument vector that the application gets in the child: this
// process's command line as CommandLineToArgvW splits it, with element 0
// replaced by the launcher's full path; *count elements. Null when the
// command line cannot be split. Kept for the rest of the process.
wchar_t** applicationArguments(int* count);

// For the application started in this process: sets the C runtime's
// __argc and __wargv, which run_code is called with, to
// applicationArguments' vector; leaves them as they are when the command
// line cannot be split.
void setRuntimeArgumentsToApplications();

#endif
