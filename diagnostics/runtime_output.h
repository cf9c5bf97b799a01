// Formatted output through the C runtime's own printf family.
#ifndef CORVELLINTH_DIAGNOSTICS_RUNTIME_OUTPUT_H
#define CORVELLINTH_DIAGNOSTICS_RUNTIME_OUTPUT_H

#ifdef __cplusplus
extern "C" {
#endif

// fprintf to standard error, then flushes it.
void printToStandardError(const char* format, ...);

#ifdef __cplusplus
}
#endif

#endif
