// The names of run directories: "onefile_<process id>_<start time>", as the
// unpack spec writes them. No Windows calls: it builds natively too.
#ifndef CORVELLINTH_LAUNCHER_RUN_NAME_H
#define CORVELLINTH_LAUNCHER_RUN_NAME_H

#include <cstdint>

struct RunName {
    std::uint32_t processId; // the parent's
    std::uint64_t startTime; // 100-ns intervals since 1601, UTC
};

// True when name is exactly a run directory's name: the prefix (compared
// case-sensitively), a process id, '_' and a start time, each a decimal
// number without leading zeros that fits where the unpack spec formats it
// ("%ld" of the id, "%lld" of the time). Fills *run then; anything else
// (a suffix, a sign, a blank, an overflow) is not a run's name.
bool parseRunDirectoryName(const wchar_t* name, RunName* run);
// The same for a Linux name (UTF-8 bytes).
bool parseRunDirectoryName(const char* name, RunName* run);

#endif
