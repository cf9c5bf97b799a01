#include "launcher/stop_signals_linux.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "diagnostics/diagnostics.h"
#include "launcher/run_directory_linux.h"

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Process-wide; written once by takeStopSignals on the main thread.
sigset_t startMask;
struct sigaction startChildAction;
sigset_t takenStops; // the stop signals not ignored at start
int signalDescriptor = -1;

bool isIgnored(int signal) {
    struct sigaction current {};
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

} // namespace

bool takeStopSignals() {
    sigemptyset(&takenStops);
    for (const int signal : kStopSignals) {
        if (!isIgnored(signal)) {
            sigaddset(&takenStops, signal);
        }
    }
    sigset_t taken = takenStops;
    sigaddset(&taken, SIGCHLD);
    if (sigprocmask(SIG_BLOCK, &taken, &startMask) != 0 ||
        sigaction(SIGCHLD, nullptr, &startChildAction) != 0) {
        return false;
    }
    // An ignored SIGCHLD (or SA_NOCLDWAIT) would have the child reaped
    // unseen, its exit status lost.
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    sigemptyset(&byDefault.sa_mask);
    if (sigaction(SIGCHLD, &byDefault, nullptr) != 0) {
        return false;
    }
    signalDescriptor = signalfd(-1, &taken, SFD_CLOEXEC | SFD_NONBLOCK);
    return signalDescriptor >= 0;
}

int stopSignalDescriptor() {
    return signalDescriptor;
}

bool isStopSignal(int signal) {
    return signalDescriptor >= 0 && sigismember(&takenStops, signal) == 1;
}

// One syscall and no reading: SIGCHLD, the only other signal taken, stays
// queued for the wait.
void endIfStopSignalled() {
    if (signalDescriptor < 0) {
        return;
    }
    const timespec now{0, 0};
    siginfo_t taken{};
    const int signal = sigtimedwait(&takenStops, &taken, &now);
    if (signal > 0) {
        deleteRunDirectory();
        endBySignal(signal);
    }
}

void restoreStartSignals() {
    if (signalDescriptor >= 0) {
        close(signalDescriptor);
        signalDescriptor = -1;
    }
    sigaction(SIGCHLD, &startChildAction, nullptr);
    sigprocmask(SIG_SETMASK, &startMask, nullptr);
}
