#include "paths/own_program.h"

#include <stdlib.h>
#include <unistd.h>

#include "diagnostics/diagnostics.h"

namespace {

// Process-wide; written on the main thread only.
ProgramArguments recorded = {0, nullptr};
char ownPath[kOwnPathCapacity];
char** application = nullptr; // the vector run_code gets, once made

} // namespace

void recordProgramArguments(int count, char** vector) {
    recorded = {count, vector};
}

ProgramArguments programArguments() {
    return recorded;
}

const char* ownExecutablePath() {
    if (ownPath[0] != '\0') {
        return ownPath;
    }
    // readlink does not terminate, and fills the buffer when it truncates.
    const ssize_t length = readlink("/proc/self/exe", ownPath, kOwnPathCapacity);
    if (length <= 0 || static_cast<std::size_t>(length) >= kOwnPathCapacity) {
        abnormalEnd();
    }
    ownPath[length] = '\0';
    return ownPath;
}

char** applicationArguments(int* count) {
    const int given = recorded.count > 0 ? recorded.count : 1;
    if (application == nullptr) {
        const auto length = static_cast<std::size_t>(given) + 1;
        application = static_cast<char**>(calloc(length, sizeof(char*)));
        if (application == nullptr) {
            fatalError("Error, couldn't allocate memory.");
        }
        ownExecutablePath();
        application[0] = ownPath;
        for (int index = 1; index < given; ++index) {
            application[index] = recorded.vector[index];
        }
    }
    *count = given;
    return application;
}
