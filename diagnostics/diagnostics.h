// The launcher's three ways of ending on a failure. Every message is one
// line; there is no log and no user interface.
#ifndef CORVELLINTH_DIAGNOSTICS_DIAGNOSTICS_H
#define CORVELLINTH_DIAGNOSTICS_DIAGNOSTICS_H

// Writes message and a newline to standard output, then exit(2).
[[noreturn]] void fatalError(const char* message);

// Writes "message ([Error code] system text)" to standard error, the system
// text in US English from FormatMessageA (empty when the system has none).
// Returns; every caller then ends the process with exit(2).
void reportSystemError(const char* message, unsigned long code);

// Writes "Error, couldn't runtime expand spec '<spec>'." to standard error,
// then ends the process abnormally.
[[noreturn]] void reportSpecFailure(const wchar_t* spec);

// A fixed-size buffer would overflow: abnormal end, no message of its own.
[[noreturn]] void boundsFailure();

// Makes abort() write its message to standard error instead of showing a
// dialog, so an abnormal end is always immediate (exit code 3).
void routeAbortAwayFromDialogs();

#endif
