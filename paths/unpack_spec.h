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

// Appends source to the text in target (capacity counted from target).
// Ends the process abnormally when it does not fit or source is null.
void appendWide(wchar_t* target, const wchar_t* source, std::size_t capacity);

// The same for narrow text, widened byte by byte with mbstowcs.
void appendNarrowAsWide(wchar_t* target, const char* source, std::size_t capacity);

inline constexpr std::size_t kProcessIdTextCapacity = 128; // "%ld" of a process id

// Appends the current process identifier, formatted "%ld" as narrow text of
// at most kProcessIdTextCapacity bytes and widened with appendNarrowAsWide.
void appendCurrentProcessId(wchar_t* target, std::size_t capacity);

#endif
