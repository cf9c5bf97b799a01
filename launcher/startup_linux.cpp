// The start-up sequence on Linux: the same roles as on Windows. A first
// start is the parent: it unpacks into a run directory of its own, forks
// the child that runs the application (launcher/child_linux.h), waits and
// deletes; for a cached package it runs the application from the cached
// copy itself (launcher/cache_linux.h). A start from within the running application (it inherits
// TAMBRO_ONEFILE_PARENT while its parent runs the very same executable
// file) takes the child role and runs from the same run directory without
// unpacking.
#include "launcher/startup.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "diagnostics/diagnostics.h"
#include "launcher/cache_linux.h"
#include "launcher/child_linux.h"
#include "launcher/run_directory_linux.h"
#include "launcher/stop_signals_linux.h"
#include "launcher/unpack_linux.h"
#include "paths/environment.h"
#include "paths/path_text.h"
#include "paths/unpack_spec.h"
#include "payload/attached_data.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "resources/product.h"

namespace {

constexpr std::size_t kProcPathCapacity = 64; // "/proc/<pid>/exe"

// Parses an inherited TAMBRO_ONEFILE_PARENT with strtoul's own rules
// (leading blanks and a sign accepted, nothing may follow, 32 bits at
// most), as wcstoul reads it on Windows.
bool parseProcessId(const char* text, unsigned long* processId) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > UINT32_MAX) {
        return false;
    }
    *processId = value;
    return true;
}

// True when the process named by the inherited value runs the very same
// executable file as this one (the same file, whatever its path).
bool isStartedByOwnParent(const char* inheritedParent) {
    unsigned long parentId = 0;
    if (!parseProcessId(inheritedParent, &parentId)) {
        return false;
    }
    char parentExecutable[kProcPathCapacity];
    snprintf(parentExecutable, sizeof(parentExecutable), "/proc/%lu/exe", parentId);
    struct stat parent {};
    struct stat own {};
    return stat(parentExecutable, &parent) == 0 && stat("/proc/self/exe", &own) == 0 &&
           parent.st_dev == own.st_dev && parent.st_ino == own.st_ino;
}

AttachedData prepareTargetAndData() {
    const bool expanded = expandRunDirectory();
    const AttachedData data = locateAttachedData();
    if (!expanded) {
        fatalSpecFailure(product::kUnpackSpec);
    }
    return data;
}

void checkHeader(const AttachedData& data) {
    if (!hasAttachedDataHeader(data)) {
        fatalError("Error, couldn't find attached data header.");
    }
}

void createReaderFor(const AttachedData& data) {
    checkHeader(data);
    createReader(data.bytes + attached::kHeaderSize, data.size - attached::kHeaderSize);
}

int runAsChild() {
    const AttachedData data = prepareTargetAndData();
    createReaderFor(data);
    if (!findRunDirectory() && !useCachedCopyInChild()) {
        fatalSystemErrorWithText("Error, load DLL.", ENOENT, "the run directory is not there");
    }
    return runApplicationFromFirstEntry();
}

int runAsParent() {
    publishOwnProcessId();
    const AttachedData data = prepareTargetAndData();
    if (!takeStopSignals()) {
        fatalError("Error, failed to register signal handler.");
    }
    checkHeader(data);
    int exitCode = 0;
    if (runFromCachedCopy(data, &exitCode)) {
        return exitCode;
    }
    createReaderFor(data);
    createRunDirectory();
    unpackAllEntries(WriteFailures::endProcess);
    return launchChildAndWait();
}

} // namespace

int runLauncher() {
    char* inheritedParent = getEnvironmentValueA(environment::kParent);
    if (inheritedParent != nullptr) {
        const bool isChild = isStartedByOwnParent(inheritedParent);
        free(inheritedParent);
        if (isChild) {
            return runAsChild();
        }
        unsetEnvironmentValueA(environment::kParent);
        unsetEnvironmentValueA(environment::kStart);
    }
    return runAsParent();
}
