// A main DLL with a load-time import from testapp_helper.dll. Its run_code
// returns the helper's answer for argc, so a test sees both that the helper
// was found and that argc arrived.
#include "launcher/run_code.h"

extern "C" __declspec(dllimport) int helper_value(int argc);

ONEFILE_EXPORT int run_code(int argc, wchar_t** argv) {
    (void)argv;
    return helper_value(argc);
}
