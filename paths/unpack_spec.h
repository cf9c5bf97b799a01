// Expansion of path templates such as "{TEMP}\CorvellinthOnefile\onefile_{PID}_{TIME}"
// into fixed-capacity wide buffers. Capacities count code units including
// the terminator.
#ifndef CORVELLINTH_PATHS_UNPACK_SPEC_H
#define CORVELLINTH_PATHS_UNPACK_SPEC_H

#include <cstddef>

// Expands spec into output. Returns false for an unknown placeholder, a
// failed folder lookup or literal text that does not fit; ends the process
// abnormally when a placeholder's value does not fit. The first {TIME} in a
// process publishes its value in TAMBRO_ONEFILE_START.
bool expandUnpackSpec(wchar_t* output, const wchar_t* spec, std::size_t capacity);

#endif
