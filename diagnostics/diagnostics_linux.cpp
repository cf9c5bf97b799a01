// The ways of ending that depend on Linux: the system's error text, the
// abnormal end, which exits with the same code 3 as abort gives on Windows,
// and the end by signal.
#include "diagnostics/diagnostics.h"
#include "diagnostics/ending.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kAbnormalExitCode = 3;
constexpr int kSignalExitBase = 128; // what a shell reports for a death by signal

} // namespace

void fatalSystemError(const char* message, unsigned long code) {
    const int error = static_cast<int>(code);
    fatalSystemErrorWithText(message, error, strerror(error));
}

void routeAbortAwayFromDialogs() {}

// Standard output was flushed by endProcess; nothing else may run now (an
// exit handler of the application, say, in a child that never started it).
void endAbnormally() {
    _exit(kAbnormalExitCode);
}

void endBySignal(int signal) {
    fflush(nullptr);
    // The launcher's own core would tell nothing about the application.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    sigaction(signal, &byDefault, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(kSignalExitBase + signal);
}
