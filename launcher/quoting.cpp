// Not built yet: every operation here ends the process.
#include "launcher/quoting.h"
#include <stdlib.h>

void appendQuotedArgument(wchar_t*, std::size_t, const wchar_t*) {
    abort();
}
