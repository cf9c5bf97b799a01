// Not built yet: every operation here ends the process.
#include "paths/environment.h"
#include <stdlib.h>

void widenEnvironmentName(const char*, wchar_t*) {
    abort();
}
wchar_t* getEnvironmentValue(const wchar_t*) {
    abort();
}
wchar_t* getEnvironmentValueA(const char*) {
    abort();
}
bool setEnvironmentValueA(const char*, const wchar_t*) {
    abort();
}
bool unsetEnvironmentValueA(const char*) {
    abort();
}
