// The signals that stop a run on Linux (SIGINT, SIGTERM, SIGHUP, SIGQUIT)
// and the child's end (SIGCHLD), taken synchronously: the parent blocks
// them from its start and reads them from a signal descriptor, so that no
// signal can end it before it has deleted the run directory, and none is
// lost between a check and a wait. A stop signal that the launcher was
// started with ignored (nohup) stays ignored and is never taken.
#ifndef CORVELLINTH_LAUNCHER_STOP_SIGNALS_LINUX_H
#define CORVELLINTH_LAUNCHER_STOP_SIGNALS_LINUX_H

// Parent, before anything is written and while it is the only thread:
// remembers the signal mask and the SIGCHLD action it was started with
// (for the child), blocks the stop signals and SIGCHLD, resets an ignored
// SIGCHLD (whose children the system would reap unseen) and opens the
// signal descriptor. False when any of that fails.
bool takeStopSignals();

// The signal descriptor for the wait (launcher/child_linux.cpp); -1 before
// takeStopSignals.
int stopSignalDescriptor();

// True for a signal that stops the run (it is taken, not ignored).
bool isStopSignal(int signal);

// Parent, while it unpacks: when a stop signal is pending, takes it, deletes
// the run directory and ends by that signal. Returns at once otherwise.
void endIfStopSignalled();

// Forked child: closes the signal descriptor and puts back the mask and the
// SIGCHLD action that the launcher was started with.
void restoreStartSignals();

// Ends the process by signal, as a process killed by it ends (a shell sees
// 128 + signal): the default action, no core dump of the launcher, the
// signal unblocked and raised. Exits with 128 + signal if it survives.
[[noreturn]] void endBySignal(int signal);

#endif
