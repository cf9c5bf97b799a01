// The application that the benchmarks pack as main.dll. run_code records
// the wall-clock time at entry and at return (Unix nanoseconds, from
// GetSystemTimePreciseAsFileTime: Wine's clock is the host's, so the Linux
// harness can subtract its own timestamps), when the parent and this child
// were created, and the parent's peak memory, which by now covers the whole
// unpacking. It writes them to the file
// named by CORVELLINTH_BENCH_TIMES, or to standard output without it.
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/run_code.h"

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr unsigned long long kUnixEpochInFileTime = 116444736000000000ULL;

long long toUnixNanoseconds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<long long>((value.QuadPart - kUnixEpochInFileTime) * 100);
}

long long unixNanoseconds() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return toUnixNanoseconds(now);
}

// When process was created (Unix nanoseconds), 0 when unknown.
long long creationTime(HANDLE process) {
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    if (process == nullptr || !GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return toUnixNanoseconds(created);
}

struct ParentFacts {
    PROCESS_MEMORY_COUNTERS memory = {}; // peak working set, peak private bytes
    long long created = 0;
};

// The parent's memory and creation time; zeros when it cannot be opened or
// measured.
ParentFacts parentFacts() {
    ParentFacts facts;
    wchar_t text[32];
    const DWORD length = GetEnvironmentVariableW(L"TAMBRO_ONEFILE_PARENT", text, 32);
    if (length == 0 || length >= 32) {
        return facts;
    }
    const DWORD pid = static_cast<DWORD>(wcstoul(text, nullptr, 10));
    const HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (parent == nullptr) {
        return facts;
    }
    if (!K32GetProcessMemoryInfo(parent, &facts.memory, sizeof facts.memory)) {
        facts.memory = {};
    }
    facts.created = creationTime(parent);
    CloseHandle(parent);
    return facts;
}

} // namespace

ONEFILE_EXPORT int run_code(int, wchar_t**) {
    const long long entry = unixNanoseconds();
    const ParentFacts parent = parentFacts();
    const PROCESS_MEMORY_COUNTERS& memory = parent.memory;
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"CORVELLINTH_BENCH_TIMES", path, MAX_PATH);
    FILE* out = length > 0 && length < MAX_PATH ? _wfopen(path, L"w") : stdout;
    if (out == nullptr) {
        return 1;
    }
    fprintf(out, "entry %lld\n", entry);
    fprintf(out, "parent_created %lld\n", parent.created);
    fprintf(out, "child_created %lld\n", creationTime(GetCurrentProcess()));
    fprintf(out, "parent_peak_working_set %llu\n",
            static_cast<unsigned long long>(memory.PeakWorkingSetSize));
    fprintf(out, "parent_peak_pagefile %llu\n",
            static_cast<unsigned long long>(memory.PeakPagefileUsage));
    // Taken last, so that the delete phase starts at the real return.
    fprintf(out, "return %lld\n", unixNanoseconds());
    if (out != stdout) {
        fclose(out);
    }
    return 0;
}
