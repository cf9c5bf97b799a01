// The run's own directory (targetDirectory), or a cached package's new copy
// (launcher/cache.h): the parent creates it itself, so that it deletes only
// what it made, and deletes it at every end.
#ifndef CORVELLINTH_LAUNCHER_RUN_DIRECTORY_H
#define CORVELLINTH_LAUNCHER_RUN_DIRECTORY_H

// A directory that the parent creates and deletes. path is written once,
// before the directory is created; finalPath (kFinalPathCapacity code
// units, aligned as alignas(8) aligns it) once, when it has been created,
// before it is armed. Neither changes while it is armed, so the console
// handler's thread reads them as they were written.
struct RunDirectory {
    const wchar_t* path;
    wchar_t* finalPath;
};

// The unpack spec's run directory: targetDirectory, runDirectoryFinalPath.
extern const RunDirectory startupRunDirectory;

// Parent only, before anything is written: takes hold of the run guard
// (launcher/run_guard.h), then creates directory.path (its missing parents
// first). When something of that name is already there (a
// planted directory or link, a replayed name), ends with "Error, target
// directory '<path>' already exists." and exit code 2, having written and
// deleted nothing. On success it records the directory's final path and
// arms the cleanup flag, and from then on every ending of the process
// deletes the directory after its message: directory is the armed one. It
// holds the directory open (holdRunDirectory) until it deletes or releases
// it. Any other failure leaves the flag down: the directory is not this
// process's, nothing is ever deleted, and the first file creation reports
// the problem. Without an argument: startupRunDirectory.
void createRunDirectory(const RunDirectory& directory);
void createRunDirectory();

// The armed run directory, null while the cleanup flag is down.
const RunDirectory* armedRunDirectory();

// When the cleanup flag is up: stops the unpacking's workers from writing
// more, lets go of the hold, then deletes the armed run directory with up
// to 21 attempts, 100 ms apart, while it remains (files still held open).
// Safe on two threads at once. Prints nothing.
void deleteRunDirectory();

// Lowers the cleanup flag: from now on nothing deletes the run directory,
// which has been renamed (a cached copy put in place) or deleted. Main
// thread; a later unpacking's workers write again (resumeUnpackWorkers).
void releaseRunDirectory();

// Holds the directory at path (the child: targetDirectory), when it is a
// directory, open without sharing
// delete access, until letGoOfRunDirectory or the process's end, however
// it ends. A sweep deletes a run directory only once it can open it for
// deletion itself (launcher/sweep.h), which such a handle refuses, also to
// another machine or container that shares the folder (file servers honour
// the share modes of all their clients). Nothing is added to the
// directory, and it can still be listed, entered and written. Without the
// hold (the system refuses it) the run guard and the process id still
// keep this machine's sweeps away.
void holdRunDirectory(const wchar_t* path);

// Closes the hold, if any, so that the directory can be deleted or renamed.
// Any thread.
void letGoOfRunDirectory();

#endif
