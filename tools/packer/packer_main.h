// onefile-pack as a whole: parses the command line, does what it asks and
// reports failures as "onefile-pack: <what went wrong>" on standard error.
// The same on Windows and Linux; tools/onefile_pack.cpp only calls it.
#ifndef CORVELLINTH_TOOLS_PACKER_PACKER_MAIN_H
#define CORVELLINTH_TOOLS_PACKER_PACKER_MAIN_H

#include "tools/packer/platform.h"

namespace packer {

// Returns the exit code: 0, 1 for a failure, 2 for a bad command line.
int runPacker(int argc, NativeChar** argv);

} // namespace packer

#endif
