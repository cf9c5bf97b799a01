// The application that the benchmarks pack as main.dll. run_code records
// the wall-clock time at entry and at return (Unix nanoseconds, from
// GetSystemTimePreciseAsFileTime: Wine's clock is the host's, so the Linux
// harness can subtract its own timestamps) and the parent's peak working
// set, which by now covers the whole unpacking. It writes them to the file
// named by CORVELLINTH_BENCH_TIMES, or to standard output without it.
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>

#include "launcher/run_code.h"

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr unsigned long long kUnixEpochInFileTime = 116444736000000000ULL;

long long unixNanoseconds() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    return static_cast<long long>((value.QuadPart - kUnixEpochInFileTime) * 100);
}

// The parent's peak working set and peak private bytes; zeros when the
// parent cannot be opened or measured.
PROCESS_MEMORY_COUNTERS parentMemory() {
    PROCESS_MEMORY_COUNTERS counters = {};
    wchar_t text[32];
    const DWORD length = GetEnvironmentVariableW(L"TAMBRO_ONEFILE_PARENT", text, 32);
    if (length == 0 || length >= 32) {
        return counters;
    }
    const DWORD pid = static_cast<DWORD>(wcstoul(text, nullptr, 10));
    const HANDLE parent = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (parent == nullptr) {
        return counters;
    }
    if (!K32GetProcessMemoryInfo(parent, &counters, sizeof counters)) {
        counters = {};
    }
    CloseHandle(parent);
    return counters;
}

} // namespace

ONEFILE_EXPORT int run_code(int, wchar_t**) {
    const long long entry = unixNanoseconds();
    const PROCESS_MEMORY_COUNTERS memory = parentMemory();
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"CORVELLINTH_BENCH_TIMES", path, MAX_PATH);
    FILE* out = length > 0 && length < MAX_PATH ? _wfopen(path, L"w") : stdout;
    if (out == nullptr) {
        return 1;
    }
    fprintf(out, "entry %lld\n", entry);
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
