// The launcher as it would be if a cached copy ran in a child process, as a
// run directory does: the benchmark's measure of that process model
// against the one the launcher uses (the application in the first
// process). Packed with --launcher, it is otherwise the launcher itself.
#include <windows.h>

#include "launcher/cache.h"
#include "launcher/startup.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    runCachedCopyInChild = true;
    return runLauncher();
}
