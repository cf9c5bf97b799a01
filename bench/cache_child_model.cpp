// The launcher as it would be if a cached copy ran in a child process, as a
// run directory does: the benchmark's measure of that process model
// against the one the launcher uses (the application in the first
// process). Packed with --launcher, it is otherwise the launcher itself:
// its runHeldCopy takes the place of launcher/held_copy.cpp's at link time,
// and the child runs the copy (directoryForChild).
#include <windows.h>

#include "launcher/cache.h"
#include "launcher/child_launch.h"
#include "launcher/startup.h"

int runHeldCopy(const AttachedData&) {
    return static_cast<int>(launchChildAndWait());
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    return runLauncher();
}
