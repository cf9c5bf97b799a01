// For diagnostics/ itself: the one place where the process ends, whichever
// way, after the message (if any) is out.
#ifndef CORVELLINTH_DIAGNOSTICS_ENDING_H
#define CORVELLINTH_DIAGNOSTICS_ENDING_H

enum class Ending {
    orderly,  // exit code 2, through exit: buffered output is flushed
    abnormal, // exit code 3: abort with routeAbortAwayFromDialogs on Windows
};

[[noreturn]] void endProcess(Ending ending);

// The abnormal end itself, per system, once the hook has run.
[[noreturn]] void endAbnormally();

// Runs the ending gate, if one is set: first thing in every ending.
void passEndingGate();

#endif
