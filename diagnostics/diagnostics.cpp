// The ways of ending that need nothing of Windows; they build natively too.
#include "diagnostics/diagnostics.h"
#include "diagnostics/ending.h"
#include "diagnostics/runtime_output.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr int kReportedExitCode = 2;

} // namespace

void endProcess(Ending ending) {
    if (ending == Ending::abnormal) {
        abort();
    }
    exit(kReportedExitCode);
}

void fatalError(const char* message) {
    puts(message);
    endProcess(Ending::reported);
}

void fatalOpenFailure(const wchar_t* path) {
    printToStandardError("Error, failed to open '%ls' for writing.\n", path);
    endProcess(Ending::reported);
}

void reportSpecFailure(const wchar_t* spec) {
    printToStandardError("Error, couldn't runtime expand spec '%ls'.\n", spec);
    endProcess(Ending::abnormal);
}

void abnormalEnd() {
    endProcess(Ending::abnormal);
}
