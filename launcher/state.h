// Process-wide state that the start-up sequence, the unpacking and the
// cleanup share.
#ifndef CORVELLINTH_LAUNCHER_STATE_H
#define CORVELLINTH_LAUNCHER_STATE_H

#include <windows.h>

#include <atomic>
#include <cstddef>

inline constexpr std::size_t kTargetDirectoryCapacity = 4096;

// The expanded unpack spec. Written once by the start-up sequence before
// the console handler is registered (so the handler's thread always sees
// the finished text), read by the unpacking and the cleanup.
extern wchar_t targetDirectory[kTargetDirectoryCapacity];

// 1 once the target directory is about to be filled or used; the cleanup
// deletes it only then.
extern std::atomic<unsigned char> cleanupFlag;

// The running child, or null. Whoever takes it out of the variable (with
// exchange) owns it and is the only one to wait on, terminate or close it.
extern std::atomic<HANDLE> childProcess;

#endif
