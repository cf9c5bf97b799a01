// Expansion of path templates such as "{TEMP}\CorvellinthOnefile\onefile_{PID}_{TIME}"
// into fixed-capacity wide buffers. Capacities count code units including
// the terminator.
#ifndef CORVELLINTH_PATHS_UNPACK_SPEC_H
#define CORVELLINTH_PATHS_UNPACK_SPEC_H

#include <cstddef>

// Expands spec into output. Returns false for an unknown placeholder, a
// failed folder lookup or literal text that does not fit; ends the process
// abnormally when a placeholder's value does not fit. {TIME} reuses
// TAMBRO_ONEFILE_START when it holds 1 to 20 decimal digits; otherwise it
// takes the current time and publishes it there.
bool expandUnpackSpec(wchar_t* output, const wchar_t* spec, std::size_t capacity);

#endif
