// The entry point of CorvellinthConsole.exe, the console-subsystem build of
// the same launcher (main.cpp is the windowed one's). Both work with the
// runtime's __argc and __wargv, not with these parameters.
#include "launcher/startup.h"

int wmain(int, wchar_t**) {
    return runLauncher();
}
