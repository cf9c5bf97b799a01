/* zstd's command-line program as the main file of a Linux package: its main,
 * renamed when the program's sources are compiled, called by run_code. */
#include "launcher/run_code.h"

int zstd_program_main(int argCount, const char* argv[]);

ONEFILE_EXPORT int run_code(int argc, char** argv) {
    return zstd_program_main(argc, (const char**)argv);
}
