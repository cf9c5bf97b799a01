// The run's own directory (targetDirectory): the parent creates it itself,
// so that it deletes only what it made, and deletes it at every end.
#ifndef CORVELLINTH_LAUNCHER_RUN_DIRECTORY_H
#define CORVELLINTH_LAUNCHER_RUN_DIRECTORY_H

// Parent only, before anything is written: takes hold of the run guard
// (launcher/run_guard.h), then creates targetDirectory (its missing parents
// first). When something of that name is already there (a
// planted directory or link, a replayed name), ends with "Error, target
// directory '<path>' already exists." and exit code 2, having written and
// deleted nothing. On success it records the directory's final path and
// arms the cleanup flag, and from then on every ending of the process
// deletes the directory after its message. Any other failure leaves the
// flag down: the directory is not this process's, nothing is ever deleted,
// and the first file creation reports the problem.
void createRunDirectory();

// When the cleanup flag is up: stops the unpacking's workers from writing
// more, then deletes the run directory with up to 21 attempts, 100 ms
// apart, while it remains (files still held open). Safe on two threads at
// once. Reports nothing.
void deleteRunDirectory();

// Lowers the cleanup flag: from now on nothing deletes the run directory,
// which has been renamed (a cached copy put in place) or deleted. Main
// thread; a later unpacking's workers write again (resumeUnpackWorkers).
void releaseRunDirectory();

#endif
