#include "launcher/startup.h"

#include "diagnostics/diagnostics.h"

int runLauncher() {
    routeAbortAwayFromDialogs();
    fatalError("Error, couldn't find attached data header.");
}
