// Removing what runs that are over left behind on Linux: the directories of
// parents that were killed (kill -9, a lost session), found beside a new
// run's directory or in a cache folder.
//
// A live run holds an exclusive flock on its own directory
// (launcher/run_directory_linux.h) for as long as its parent lives, on
// whatever machine or in whatever container it runs, and the sweep deletes
// a directory only once it holds that lock itself: a run whose lock is held
// is never touched. The process id in the name guards the moment between a
// run's mkdir and its lock: a directory whose named process is alive stays
// too (a reused id only delays its sweep).
#ifndef CORVELLINTH_LAUNCHER_SWEEP_LINUX_H
#define CORVELLINTH_LAUNCHER_SWEEP_LINUX_H

// Parent only, once it has created its run directory (nothing happens
// otherwise): deletes each directory beside it that
//  - is named exactly as a run (launcher/run_name.h), the own excepted;
//  - is a real directory of this user (not a link);
//  - names a process id that names no live process;
//  - and whose lock it can take without waiting;
// with the link-safe delete (launcher/tree_delete_linux.h), one attempt
// each. Anything else is never touched. Reports nothing.
void sweepFinishedRuns();

// The same for a start without a run directory of its own (a cached
// package's): the directory where the unpack spec puts run directories,
// when it is there and can be used.
void sweepRunPlace();

// The same for a cache folder open as folder (launcher/cache_linux.h),
// whose copy ownCopy is in use by this process: deletes the directories of
// runs that are over (first starts that were killed while they unpacked)
// by the rules above, and removes every other copy that is not in use
// (removeUnusedCopy; a copy without its marker is left alone).
void sweepCacheFolder(int folder, const char* ownCopy);

// Deletes the run directory name in the directory open as folder by the
// rules above. True when it is gone.
bool sweepRunDirectory(int folder, const char* name);

// Deletes the directory open (and locked by this process) as directory,
// when name in the directory open as folder still names it, with the
// link-safe delete. True when it is gone.
bool deleteLockedDirectory(int folder, const char* name, int directory);

#endif
