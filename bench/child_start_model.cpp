// A Linux launcher whose child starts the way CORVELLINTH_CHILD_START
// says: "fork" (what the launcher does: the forked parent loads the
// application) or "exec" (the forked parent executes the launcher again,
// which then takes the child role as a second start does). Its runChildRole
// takes the place of the launcher's own (launcher/child_role_linux.cpp) at
// link time. Packed with --launcher, for bench/linux.py's comparison.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "diagnostics/diagnostics.h"
#include "launcher/child_linux.h"
#include "launcher/startup.h"
#include "launcher/unpack_linux.h"
#include "paths/own_program.h"

void runChildRole() {
    const char* const start = getenv("CORVELLINTH_CHILD_START");
    if (start != nullptr && strcmp(start, "exec") == 0) {
        int count = 0;
        execv("/proc/self/exe", applicationArguments(&count));
        fatalSystemError("Error, couldn't launch child", static_cast<unsigned long>(errno));
    }
    endWithExitCode(static_cast<unsigned long>(runApplication()));
}

int main(int argc, char** argv) {
    recordProgramArguments(argc, argv);
    return runLauncher();
}
