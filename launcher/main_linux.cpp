// The entry point of the Linux launcher, build/host/bin/corvellinth.
#include "launcher/startup.h"
#include "paths/own_program.h"

int main(int argc, char** argv) {
    recordProgramArguments(argc, argv);
    return runLauncher();
}
