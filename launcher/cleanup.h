// Removing the target directory at the parent's end and on console events.
//
// The child handle and the two threads. The console handler runs on a
// thread of its own while the main thread may be waiting for the child, so
// the handle in childProcess is shared without a lock. Ownership moves by
// exchange: whoever takes the handle out of childProcess with
// exchange(nullptr) owns it and is the only one to wait on, terminate or
// close it. To let both threads wait at once, the main thread keeps the
// handle that CreateProcessW gave it for its own unlimited wait and
// publishes a duplicate (DuplicateHandle, same access) in childProcess.
//  - Handler side (cleanupOnExit): takes the duplicate, waits up to 5 s,
//    terminates the child (0xC000013A) unless that wait saw it end,
//    closes the duplicate.
//  - Main side, when its own wait returns: exchange(nullptr), closes the
//    duplicate only if it got it back, reads the exit code from the
//    original, closes the original, then calls cleanupOnExit (which then
//    finds no child and only deletes).
// Every handle is therefore used only while open and closed exactly once,
// whichever thread comes first.
#ifndef CORVELLINTH_LAUNCHER_CLEANUP_H
#define CORVELLINTH_LAUNCHER_CLEANUP_H

#include <windows.h>

// Gives a running child 5 s to end (then terminates it with exit code
// 0xC000013A, as a console interruption would end it), then deletes the
// run directory if this process created it (deleteRunDirectory). Reports
// nothing. Safe to run on two threads at once.
void cleanupOnExit();

// Registered by the parent: runs the cleanup for Ctrl+C, Ctrl+Break, close,
// logoff and shutdown. Always returns FALSE so the next handler still runs.
BOOL WINAPI consoleControlHandler(DWORD controlType);

#endif
