// The running program on Linux: its argument vector as main received it
// (Windows has the runtime's __argc and __wargv), and the absolute path of
// its own executable file. {PROGRAM} reads the vector's element 0; the
// application gets the user's arguments from it.
#ifndef CORVELLINTH_PATHS_OWN_PROGRAM_H
#define CORVELLINTH_PATHS_OWN_PROGRAM_H

#include <cstddef>

struct ProgramArguments {
    int count;
    char** vector; // count elements, then a null pointer
};

// Called by main before anything else; kept for the whole process.
void recordProgramArguments(int count, char** vector);

// What was recorded; { 0, nullptr } before.
ProgramArguments programArguments();

inline constexpr std::size_t kOwnPathCapacity = 4096; // bytes, terminator included

// The executable file this process runs (/proc/self/exe's target), read on
// the first call and kept. Ends abnormally when it cannot be read or does
// not fit.
const char* ownExecutablePath();

// The vector that the application's run_code gets: the own executable's
// path (ownExecutablePath), then the user's arguments unchanged; its
// length in *count. Made on the first call and kept. Ends with "Error,
// couldn't allocate memory." when it cannot be made.
char** applicationArguments(int* count);

#endif
