// Expansion of path templates such as the unpack spec
// ("{TEMP}\CorvellinthOnefile\onefile_{PID}_{TIME}" on Windows) into
// fixed-capacity buffers of path text (paths/path_text.h). Capacities count
// code units including the terminator.
#ifndef CORVELLINTH_PATHS_UNPACK_SPEC_H
#define CORVELLINTH_PATHS_UNPACK_SPEC_H

#include <cstddef>

#include "paths/path_text.h"

// Expands spec into output. Returns false for an unknown placeholder, a
// failed folder lookup or literal text that does not fit; ends the process
// abnormally when a placeholder's value does not fit. {TIME} reuses
// TAMBRO_ONEFILE_START when it holds 1 to 20 decimal digits; otherwise it
// takes the current time and publishes it there.
bool expandUnpackSpec(PathUnit* output, const PathUnit* spec, std::size_t capacity);

// Sets TAMBRO_ONEFILE_PARENT to this process's identifier: the parent's
// first step, so that {PID} yields it here and in the child.
void publishOwnProcessId();

#endif
