// run_so SO [ARGS...]: the direct start that the Linux launcher's cached
// start is measured against: loads SO as the launcher does (dlopen,
// RTLD_NOW) and returns what its run_code returns, called with SO as
// argument 0 and ARGS after it.
#include <dlfcn.h>
#include <stdio.h>

#include "launcher/run_code.h"

namespace {

constexpr int kUsageExitCode = 120;
constexpr int kLoadExitCode = 121;

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: run_so SO [ARGS...]\n");
        return kUsageExitCode;
    }
    void* const application = dlopen(argv[1], RTLD_NOW);
    if (application == nullptr) {
        fprintf(stderr, "run_so: %s\n", dlerror());
        return kLoadExitCode;
    }
    const auto runCode =
        reinterpret_cast<onefile_run_code_fn>(dlsym(application, ONEFILE_ENTRY_POINT_NAME));
    if (runCode == nullptr) {
        fprintf(stderr, "run_so: no %s in %s\n", ONEFILE_ENTRY_POINT_NAME, argv[1]);
        return kLoadExitCode;
    }
    return runCode(argc - 1, argv + 1);
}
