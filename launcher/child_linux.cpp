#include "launcher/child_linux.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "launcher/run_directory_linux.h"
#include "launcher/stop_signals_linux.h"
#include "launcher/sweep_linux.h"
#include "launcher/unpack_linux.h"
#include "paths/environment.h"
#include "paths/own_program.h"
#include "paths/path_text.h"
#include "payload/attached_data.h"

namespace {

// A stopped run's child gets as long as a console interruption gives a
// child on Windows.
constexpr std::int64_t kStopGraceMs = 5000;
constexpr std::int64_t kNoDeadline = -1;
constexpr std::int64_t kMillisecondsPerSecond = 1000;
constexpr std::int64_t kNanosecondsPerMillisecond = 1000000;
constexpr int kUnreadableExitCode = 1; // the child ran, how it ended is not known
// The application's start comes first: the sweep of runs that are over
// waits this long, or for the child's end.
constexpr std::int64_t kSweepHeadStartMs = 1000;

} // namespace

// TAMBRO_ONEFILE_DIRECTORY: the own executable's path without its last
// component ("/" for a file at the root).
void publishRunVariables() {
    char directory[kOwnPathCapacity];
    PathText text = startText(directory, kOwnPathCapacity);
    appendText(&text, ownExecutablePath());
    std::size_t slash = text.length;
    while (slash > 0 && directory[slash - 1] != '/') {
        --slash;
    }
    truncateText(&text, slash > 1 ? slash - 1 : slash);
    setEnvironmentValueA(environment::kDirectory, directory);
    const ProgramArguments arguments = programArguments();
    setEnvironmentValueA(environment::kOriginalArgv0,
                         arguments.count > 0 ? arguments.vector[0] : nullptr);
}

namespace {

// The forked child: from here on it never deletes anything and ends with
// its parent. Never returns.
[[noreturn]] void runChild(pid_t parent) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        // The parent is gone already: nobody would ever stop this child.
        endBySignal(SIGKILL);
    }
    leaveRunDirectory();
    restoreStartSignals();
    runChildRole();
}

std::int64_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kMillisecondsPerSecond +
           now.tv_nsec / kNanosecondsPerMillisecond;
}

struct ChildWait {
    pid_t child;
    int stopSignal;        // the first stop signal taken, 0 before
    std::int64_t deadline; // when the child's grace ends, kNoDeadline before
    bool killed;           // after its grace
    std::int64_t sweepAt;  // when the sweep runs, kNoDeadline once it has
};

// The time left until at (0 when it has come), or -1 (no limit) for
// kNoDeadline.
int timeLeftUntil(std::int64_t at) {
    if (at == kNoDeadline) {
        return -1;
    }
    const std::int64_t left = at - nowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

void sweepOnce(ChildWait* wait) {
    if (wait->sweepAt != kNoDeadline) {
        wait->sweepAt = kNoDeadline;
        sweepFinishedRuns();
    }
}

// True when the signal reached the child too: the terminal sends its
// signals (Ctrl+C) to the whole foreground process group, which the child
// is in unless it left this process's group.
bool reachedChildToo(const signalfd_siginfo& taken, pid_t child) {
    return taken.ssi_code == SI_KERNEL && getpgid(child) == getpgrp();
}

// Takes the signals that have come: stop signals go on to the child
// (unless they reached it already), and the first starts its grace.
void takeSignals(ChildWait* wait) {
    signalfd_siginfo taken{};
    while (read(stopSignalDescriptor(), &taken, sizeof(taken)) == sizeof(taken)) {
        const auto signal = static_cast<int>(taken.ssi_signo);
        if (!isStopSignal(signal)) {
            continue;
        }
        if (!reachedChildToo(taken, wait->child)) {
            kill(wait->child, signal);
        }
        if (wait->stopSignal == 0) {
            wait->stopSignal = signal;
            wait->deadline = nowMs() + kStopGraceMs;
        }
    }
}

// Waits until the child has ended; its wait status in *status. False when
// the system cannot say how it ended.
bool waitForEnd(ChildWait* wait, int* status) {
    for (;;) {
        const pid_t ended = waitpid(wait->child, status, WNOHANG);
        if (ended == wait->child) {
            return true;
        }
        if (ended < 0 && errno != EINTR) {
            return false;
        }
        if (wait->deadline != kNoDeadline && timeLeftUntil(wait->deadline) == 0) {
            kill(wait->child, SIGKILL);
            wait->killed = true;
            wait->deadline = kNoDeadline;
            continue;
        }
        if (wait->sweepAt != kNoDeadline && timeLeftUntil(wait->sweepAt) == 0) {
            sweepOnce(wait);
            continue;
        }
        const int untilGrace = timeLeftUntil(wait->deadline);
        const int untilSweep = timeLeftUntil(wait->sweepAt);
        const int timeout = untilGrace < 0 || (untilSweep >= 0 && untilSweep < untilGrace)
                                ? untilSweep
                                : untilGrace;
        pollfd signals{stopSignalDescriptor(), POLLIN, 0};
        poll(&signals, 1, timeout);
        takeSignals(wait);
    }
}

} // namespace

int launchChildAndWait() {
    publishRunVariables();
    int count = 0;
    applicationArguments(&count);
    // Nothing buffered may be written twice, and the child needs none of
    // the package's mappings.
    fflush(nullptr);
    unmapAttachedData();
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        runChild(parent);
    }
    if (child < 0) {
        fatalSystemError("Error, couldn't launch child", static_cast<unsigned long>(errno));
    }
    ChildWait wait{child, 0, kNoDeadline, false, nowMs() + kSweepHeadStartMs};
    int status = 0;
    const bool ended = waitForEnd(&wait, &status);
    // An application that ended sooner: its parent sweeps before it ends.
    sweepOnce(&wait);
    deleteRunDirectory();
    if (wait.killed) {
        endBySignal(wait.stopSignal);
    }
    if (ended && WIFSIGNALED(status)) {
        endBySignal(WTERMSIG(status));
    }
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : kUnreadableExitCode;
}
