// Whether a stop (a console event's, launcher/cleanup.h) has begun. The
// thread that begins it deletes the run directory and ends the process;
// every other thread that would act on the run meanwhile waits for that
// end instead.
#ifndef CORVELLINTH_LAUNCHER_RUN_STOP_H
#define CORVELLINTH_LAUNCHER_RUN_STOP_H

// True for the first caller only: the stop is this caller's to carry out.
bool beginStop();

// Waits, on a thread other than the stop's, for the end of the process
// that a stop begun elsewhere brings about once it has deleted the run
// directory; never returns.
[[noreturn]] void awaitStopsEnding();

// Main thread, before it gives up its run directory or makes one: once a
// stop has begun, the stop deletes the run directory and ends the process,
// and this thread must not start over meanwhile (nothing it made then
// would be deleted); it waits for that end and never returns. Returns at
// once otherwise.
void waitIfStopping();

#endif
