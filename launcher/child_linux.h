// Starting the child on Linux and waiting for it.
//
// The child is a fork of the parent that loads the application itself: no
// second exec of the launcher, no second look at the package (measured
// against fork and exec in bench/child_start.py). It starts with the
// parent's environment (the four variables published), current directory,
// standard streams and the signal mask and SIGCHLD action that the
// launcher was started with, and ends with the parent however the parent
// ends (PR_SET_PDEATHSIG, SIGKILL), also when the parent is already gone
// by the time it asks.
//
// The parent passes the stop signals on to the child (all but those that
// the terminal sent, which reached the child itself), gives it the grace of
// a console interruption (5 s) from the first one, then kills it; once the
// child has ended it deletes the run directory and ends the way the child
// ended: with its exit status, or by raising the signal that ended it (or,
// when the parent killed it after the grace, the stop signal it got).
#ifndef CORVELLINTH_LAUNCHER_CHILD_LINUX_H
#define CORVELLINTH_LAUNCHER_CHILD_LINUX_H

// Publishes TAMBRO_ONEFILE_DIRECTORY (the directory of the own executable)
// and TAMBRO_ORIGINAL_ARGV0 (the program as invoked), as the application
// sees them.
void publishRunVariables();

// Publishes TAMBRO_ONEFILE_DIRECTORY (the directory of the own
// executable) and TAMBRO_ORIGINAL_ARGV0 (the program as invoked), starts
// the child, waits for it, deletes the run directory and returns its exit
// status, or ends by signal. Sweeps the runs that are over
// (launcher/sweep_linux.h) once the child has had a head start of a
// second, or has ended sooner. Ends with "Error, couldn't launch child" when
// the child cannot be started.
int launchChildAndWait();

// The forked child's role once it is set up: runs the application and ends
// with its exit code (launcher/child_role_linux.cpp). In a file of its own
// so that a benchmark can link a child that executes the launcher instead.
[[noreturn]] void runChildRole();

#endif
