#include "diagnostics/diagnostics.h"
#include "launcher/child_linux.h"
#include "launcher/unpack_linux.h"

void runChildRole() {
    endWithExitCode(static_cast<unsigned long>(runApplication()));
}
