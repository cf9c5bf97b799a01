// The launcher's start-up sequence: decides between the parent and the child
// role and runs the role to its end.
#ifndef CORVELLINTH_LAUNCHER_STARTUP_H
#define CORVELLINTH_LAUNCHER_STARTUP_H

// Returns the process exit code: the child's (parent role) or run_code's
// (child role). Failures end the process with their own message and code.
int runLauncher();

#endif
