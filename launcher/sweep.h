// Removing what runs that are over left behind: directories of launchers
// that were killed, or whose directory a second start that joined them
// still used when they ended.
#ifndef CORVELLINTH_LAUNCHER_SWEEP_H
#define CORVELLINTH_LAUNCHER_SWEEP_H

// Parent only, once it has created its run directory (nothing happens
// otherwise). Looks at the directories beside it ({TEMP}\CorvellinthOnefile
// with the compiled-in spec) and deletes each one that
//  - is a real directory (no link of any kind) whose final path is the
//    place its name says, the proof the run directory's delete uses;
//  - is named exactly as a run (launcher/run_name.h);
//  - has no run guard (launcher/run_guard.h);
//  - and whose process id names no live process that started at or before
//    the start time in its name: that process would be the run's parent.
// Anything else is never touched. Each directory gets one attempt of the
// run directory's delete; what cannot go now is left for a later start.
// Nothing is swept when the directory above is itself a link. Reports
// nothing.
void sweepFinishedRuns();

// The same for a cache folder (launcher/cache.h), whose copy ownCopy (the
// name of a directory in it) is in use by this process: deletes the
// directories of runs that are over (first starts that were killed while
// they unpacked) by the rules above, and removes every other copy that is
// not in use (removeUnusedCopy; a copy without its marker is left alone).
void sweepCacheFolder(const wchar_t* folder, const wchar_t* ownCopy);

#endif
