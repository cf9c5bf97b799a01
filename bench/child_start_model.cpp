// A Linux launcher that starts its child the way CORVELLINTH_CHILD_START
// says: "fork" (what the launcher does: the forked parent loads the
// application) or "exec" (the forked parent executes the launcher again,
// which then takes the child role as a second start does). Packed with
// --launcher, for bench/linux.py's comparison of the two.
#include <stdlib.h>
#include <string.h>

#include "launcher/child_linux.h"
#include "launcher/startup.h"
#include "paths/own_program.h"

int main(int argc, char** argv) {
    recordProgramArguments(argc, argv);
    const char* const start = getenv("CORVELLINTH_CHILD_START");
    if (start != nullptr && strcmp(start, "exec") == 0) {
        setChildStart(ChildStart::forkThenExec);
    }
    return runLauncher();
}
