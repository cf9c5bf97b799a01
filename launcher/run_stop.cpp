#include "launcher/run_stop.h"

#include <atomic>

#include "launcher/worker_threads.h"

namespace {

// Process-wide; launcher/state.h lists them all. Set by the first stop.
std::atomic<bool> stopStarted{false};

} // namespace

bool beginStop() {
    return !stopStarted.exchange(true);
}

void awaitStopsEnding() {
    sleepForever();
}

void waitIfStopping() {
    if (stopStarted.load()) {
        awaitStopsEnding();
    }
}
