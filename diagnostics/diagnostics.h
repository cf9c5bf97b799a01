// The launcher's ways of ending on a failure: every failure ends the process
// through one of these, and nothing else in the launcher calls exit or abort
// (scripts/check-source). Each writes at most one line; there is no log and
// no user interface.
#ifndef CORVELLINTH_DIAGNOSTICS_DIAGNOSTICS_H
#define CORVELLINTH_DIAGNOSTICS_DIAGNOSTICS_H

// Writes message and a newline to standard output, then exit code 2.
[[noreturn]] void fatalError(const char* message);

// Writes "message ([Error code] system text)" to standard error, the code as
// a signed 32-bit decimal and the system's text for it (on Windows in US
// English from FormatMessageA, empty when the system has none; on Linux
// strerror's), then exit code 2.
[[noreturn]] void fatalSystemError(const char* message, unsigned long code);

// The same with a system text of the caller's (a dynamic loader's, which
// says more than the error code's own).
[[noreturn]] void fatalSystemErrorWithText(const char* message, long code, const char* text);

// Writes "Error, failed to open '<path>' for writing." to standard error,
// then exit code 2. Paths are UTF-16 (wchar_t) on Windows, UTF-8 on Linux.
[[noreturn]] void fatalOpenFailure(const wchar_t* path);
[[noreturn]] void fatalOpenFailure(const char* path);

// Writes "Error, target directory '<path>' already exists." to standard
// error, then exit code 2.
[[noreturn]] void fatalExistingDirectory(const wchar_t* path);
[[noreturn]] void fatalExistingDirectory(const char* path);

// Writes "Error, couldn't find a directory to run the application from:
// neither '<first>' nor '<second>' can be used." to standard error, then
// exit code 2: neither the temporary directory nor the fallback beside the
// user's cache can hold a run directory that may run code.
[[noreturn]] void fatalNoRunDirectory(const char* first, const char* second);

// Writes "Error, couldn't runtime expand spec '<spec>'." to standard error,
// then ends the process abnormally.
[[noreturn]] void fatalSpecFailure(const wchar_t* spec);
[[noreturn]] void fatalSpecFailure(const char* spec);

// Ends the process abnormally (exit code 3: abort on Windows) without a
// message of its own: a fixed-size buffer would overflow, or the launcher
// cannot go on.
[[noreturn]] void abnormalEnd();

// Ends the process with exitCode, all 32 bits of it, without a message and
// without the ending hook: for the console handler, which has stopped the
// child and deleted the run directory itself, on its own thread.
[[noreturn]] void endWithExitCode(unsigned long exitCode);

#ifndef _WIN32
// Linux: ends the process by signal, as a process killed by it ends (a
// shell sees 128 + signal), without a message and without the ending hook:
// the signal's default action, no core dump, the signal unblocked and
// raised. Exits with 128 + signal should the process survive it.
[[noreturn]] void endBySignal(int signal);
#endif

// Makes abort() write its message to standard error instead of showing a
// dialog, so an abnormal end is always immediate (exit code 3). Nothing to
// do on Linux.
void routeAbortAwayFromDialogs();

// Every ending above, once its message is out and before the process ends,
// runs hook (when one is set), only ever once per process: an ending raised
// inside the hook, or by another thread meanwhile, ends without it. The
// hook must not depend on the state of the code that raised the ending.
using EndingHook = void (*)();
void setEndingHook(EndingHook hook);

// Every ending above first runs gate (when one is set), on the thread that
// raised it and before its message: the gate may wait for work in progress
// and end the process with an earlier failure's message instead. It runs
// again for that nested ending, so it must let a second call through.
using EndingGate = void (*)();
void setEndingGate(EndingGate gate);

#endif
