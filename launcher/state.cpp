#include "launcher/state.h"

wchar_t targetDirectory[kTargetDirectoryCapacity];
alignas(8) wchar_t runDirectoryFinalPath[kFinalPathCapacity];
std::atomic<unsigned char> cleanupFlag{0};
std::atomic<HANDLE> childProcess{nullptr};
std::atomic<std::int64_t> childExitCode{kNoChildExitCode};
