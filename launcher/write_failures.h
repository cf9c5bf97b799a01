// What the unpacking does when a file cannot be created or written: a run
// ends with the message, a cached copy's unpacking gives up quietly so the
// run can go elsewhere. Shared by both systems' unpacking.
#ifndef CORVELLINTH_LAUNCHER_WRITE_FAILURES_H
#define CORVELLINTH_LAUNCHER_WRITE_FAILURES_H

enum class WriteFailures {
    endProcess,  // ends the process with its message and exit code 2
    returnFalse, // makes the unpacking return false, silently
};

#endif
