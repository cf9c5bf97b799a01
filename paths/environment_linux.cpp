// Environment variables on Linux: the process's own environ through the C
// library. Only the main thread changes it, before any other thread starts.
#include "paths/environment.h"

#include <stdlib.h>
#include <string.h>

#include "diagnostics/diagnostics.h"

namespace {

// The same limits as on Windows: a name of at most 39 bytes, a value of at
// most 32767.
void checkName(const char* name) {
    if (name == nullptr ||
        strnlen(name, environment::kNameCapacity) >= environment::kNameCapacity) {
        abnormalEnd();
    }
}

} // namespace

char* getEnvironmentValueA(const char* name) {
    checkName(name);
    const char* const value = getenv(name);
    if (value == nullptr || value[0] == '\0' ||
        strnlen(value, environment::kValueCapacity) >= environment::kValueCapacity) {
        return nullptr;
    }
    return strdup(value);
}

bool setEnvironmentValueA(const char* name, const char* value) {
    checkName(name);
    if (value == nullptr) {
        return unsetenv(name) == 0;
    }
    return setenv(name, value, 1) == 0;
}

bool unsetEnvironmentValueA(const char* name) {
    checkName(name);
    return unsetenv(name) == 0;
}
