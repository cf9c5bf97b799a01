// The application that the Linux benchmarks pack as main.so. run_code
// records the wall-clock time at entry and at return (Unix nanoseconds,
// CLOCK_REALTIME, the harness's own clock) and the parent's peak resident
// memory (VmHWM of /proc/<parent>/status), which by now covers the whole
// unpacking. It writes them to the file named by CORVELLINTH_BENCH_TIMES,
// or to standard output without it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "launcher/run_code.h"

namespace {

constexpr long long kNanosecondsPerSecond = 1000000000LL;
constexpr long long kBytesPerKibibyte = 1024;

long long unixNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

// The parent's peak resident memory in bytes; 0 when it cannot be read.
long long parentPeakMemory() {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%ld/status", static_cast<long>(getppid()));
    FILE* const status = fopen(path, "r");
    if (status == nullptr) {
        return 0;
    }
    long long kibibytes = 0;
    char line[256];
    while (fgets(line, sizeof(line), status) != nullptr) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kibibytes = atoll(line + 6);
        }
    }
    fclose(status);
    return kibibytes * kBytesPerKibibyte;
}

} // namespace

ONEFILE_EXPORT int run_code(int, char**) {
    const long long entry = unixNanoseconds();
    const long long peak = parentPeakMemory();
    const char* const path = getenv("CORVELLINTH_BENCH_TIMES");
    FILE* const out = path != nullptr ? fopen(path, "w") : stdout;
    if (out == nullptr) {
        return 1;
    }
    fprintf(out, "entry %lld\n", entry);
    fprintf(out, "parent_peak_resident %lld\n", peak);
    // Taken last, so that the delete phase starts at the real return.
    fprintf(out, "return %lld\n", unixNanoseconds());
    if (out != stdout) {
        fclose(out);
    }
    return 0;
}
