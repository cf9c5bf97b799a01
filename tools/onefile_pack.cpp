// onefile-pack: makes a packaged executable from a directory (a copy of the
// launcher carrying every file of the directory as attached data), writes or
// embeds attached data on its own, and lists what a packaged executable
// carries. Run with --help for the command line. The same program for
// Windows and Linux: everything is in tools/packer/.
#include "tools/packer/packer_main.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return packer::runPacker(argc, argv);
}
#else
int main(int argc, char** argv) {
    return packer::runPacker(argc, argv);
}
#endif
