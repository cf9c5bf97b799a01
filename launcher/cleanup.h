// Removing the target directory at the parent's end and on console events.
//
// The child handle and the two threads. The console handler runs on a
// thread of its own while the main thread may be waiting for the child, so
// the handle in childProcess is shared without a lock. Ownership moves by
// exchange: whoever takes the handle out of childProcess with
// exchange(nullptr) owns it and is the only one to wait on, terminate or
// close it. To let both threads wait at once, the main thread keeps the
// handle that CreateProcessW gave it for its own unlimited wait and
// publishes a duplicate in childProcess.
//  - Handler side: takes the duplicate, waits up to the event's grace,
//    terminates the child (0xC000013A) unless that wait saw it end, reads
//    its exit code, closes the duplicate, deletes, and ends the process
//    with that code.
//  - Main side, when its own wait returns: reads the exit code from the
//    original and publishes it in childExitCode, then exchange(nullptr),
//    closes the duplicate only if it got it back, closes the original and
//    calls cleanupOnExit (which then finds no child and only deletes).
// Every handle is therefore used only while open and closed exactly once,
// whichever thread comes first, and both threads end the process with the
// same code: a handler that finds no child takes the published one.
#ifndef CORVELLINTH_LAUNCHER_CLEANUP_H
#define CORVELLINTH_LAUNCHER_CLEANUP_H

#include <windows.h>

// Gives a running child 5 s to end (then terminates it with exit code
// 0xC000013A, as a console interruption would end it), then deletes the
// run directory if this process created it (deleteRunDirectory). Reports
// nothing. Safe to run on two threads at once.
void cleanupOnExit();

// The console handler's work for Ctrl+C, Ctrl+Break, close, logoff and
// shutdown: gives a running child the event's grace (5 s for Ctrl+C and
// Ctrl+Break; 1 s for the other three, after which Windows ends the process
// about 5 s from the event, so that the delete gets the rest), terminates
// it with 0xC000013A if it still runs, deletes the run directory, puts
// the exit code that the parent ends with into exitCode (the child's, or
// 0xC000013A when no child has ended) and returns true. Any other value:
// returns false having done nothing.
bool stopRunForConsoleEvent(DWORD controlType, DWORD* exitCode);

// Registered by the parent. For the five events above: runs
// stopRunForConsoleEvent and ends the process with its code, so that the
// parent's exit code is the child's; a later event while that runs can
// only shorten the child's grace, and blocks until the process ends. For
// any other value: returns FALSE at once, so the next handler runs.
BOOL WINAPI consoleControlHandler(DWORD controlType);

// The exit code of a process that has ended; 1 when it cannot be read.
DWORD exitCodeOfEndedProcess(HANDLE process);

#endif
