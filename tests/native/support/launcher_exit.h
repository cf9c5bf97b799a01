// The test seam for the launcher's diagnostics in native builds: instead of
// ending the process, each way of ending throws LauncherExit, so that a test
// or a fuzz target sees what the launcher would have done and carries on.
#ifndef CORVELLINTH_TESTS_NATIVE_SUPPORT_LAUNCHER_EXIT_H
#define CORVELLINTH_TESTS_NATIVE_SUPPORT_LAUNCHER_EXIT_H

#include <string>

namespace native_support {

struct LauncherExit {
    int exitCode;        // 2 for fatalError, 3 for an abnormal end
    std::string message; // fatalError's message; empty for a bounds failure
};

inline constexpr int kFatalExitCode = 2;
inline constexpr int kAbnormalExitCode = 3;

} // namespace native_support

#endif
