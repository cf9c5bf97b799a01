// The run guard: a named kernel object that says "a process still runs from
// this run directory". The parent holds it from before it creates the
// directory, the child and a second start that joins the parent hold it
// too, each until it ends (however it ends: the system drops the object
// with its last holder). The sweep of finished runs leaves alone every
// directory whose guard exists, whatever has become of its parent.
#ifndef CORVELLINTH_LAUNCHER_RUN_GUARD_H
#define CORVELLINTH_LAUNCHER_RUN_GUARD_H

// Takes hold of the guard of the run whose directory is at runDirectory
// (named by its last component) for the rest of the process. Without it
// (the system refuses the object) the run is still protected while its
// parent lives, by its process id.
void holdRunGuard(const wchar_t* runDirectory);

// True when the guard of the run directory named directoryName (its last
// component) may exist: false only when the system says that nothing of
// that name is there.
bool isRunGuardHeld(const wchar_t* directoryName);

#endif
