#include "launcher/state.h"

wchar_t targetDirectory[kTargetDirectoryCapacity];
wchar_t runDirectoryFinalPath[kFinalPathCapacity];
std::atomic<unsigned char> cleanupFlag{0};
std::atomic<HANDLE> childProcess{nullptr};
