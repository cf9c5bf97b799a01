// The ways of ending that need nothing of Windows; they build natively too.
#include "diagnostics/diagnostics.h"
#include "diagnostics/runtime_output.h"

#include <stdio.h>
#include <stdlib.h>

void fatalError(const char* message) {
    puts(message);
    exit(2);
}

void reportSpecFailure(const wchar_t* spec) {
    printToStandardError("Error, couldn't runtime expand spec '%ls'.\n", spec);
    abort();
}

void boundsFailure() {
    abort();
}
