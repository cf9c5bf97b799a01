// Removing the target directory at the parent's end and on console events.
#ifndef CORVELLINTH_LAUNCHER_CLEANUP_H
#define CORVELLINTH_LAUNCHER_CLEANUP_H

#include <windows.h>

// Gives a running child 5 s to end (then terminates it with exit code 0),
// then, when the cleanup flag is set, deletes the target directory with up
// to 21 attempts 100 ms apart. Reports nothing.
void cleanupOnExit();

// Registered by the parent: runs the cleanup for Ctrl+C, Ctrl+Break, close,
// logoff and shutdown. Always returns FALSE so the next handler still runs.
BOOL WINAPI consoleControlHandler(DWORD controlType);

#endif
