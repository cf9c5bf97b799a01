#include "launcher/startup.h"

#include <windows.h>
#include <psapi.h>
#include <errno.h>
#include <stdlib.h>
#include <wchar.h>

#include "diagnostics/diagnostics.h"
#include "launcher/cache.h"
#include "launcher/child_launch.h"
#include "launcher/cleanup.h"
#include "launcher/run_directory.h"
#include "launcher/run_guard.h"
#include "launcher/state.h"
#include "launcher/unpack.h"
#include "paths/environment.h"
#include "paths/executable_path.h"
#include "paths/unpack_spec.h"
#include "payload/attached_data.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "resources/product.h"
#include "system/system_calls.h"

namespace {

constexpr DWORD kParentQueryAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ; // 0x410

// Parses an inherited TAMBRO_ONEFILE_PARENT with wcstoul's own rules
// (leading blanks and a sign accepted, nothing may follow, 32 bits at most).
bool parseProcessId(const wchar_t* text, DWORD* processId) {
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long value = wcstoul(text, &end, 10);
    if (errno != 0 || end == text || *end != L'\0') {
        return false;
    }
    *processId = static_cast<DWORD>(value);
    return true;
}

// True when the process named by the inherited value runs the very same
// executable file as this one. Ends abnormally when the parent's executable
// cannot be opened or its final path does not fit.
bool isStartedByOwnParent(const wchar_t* inheritedParent) {
    DWORD parentId = 0;
    if (!parseProcessId(inheritedParent, &parentId)) {
        return false;
    }
    const HANDLE parent = systemCalls.openProcess(kParentQueryAccess, FALSE, parentId);
    if (parent == nullptr) {
        return false;
    }
    // Static rather than on the stack; listed in launcher/state.h.
    static wchar_t parentPath[kParentPathCapacity];
    const DWORD length = K32GetModuleFileNameExW(parent, nullptr, parentPath,
                                                 static_cast<DWORD>(kParentPathCapacity));
    systemCalls.closeHandle(parent);
    if (length == 0) {
        return false;
    }
    resolveExecutablePath(parentPath, kParentPathCapacity);
    return wcscmp(parentPath, getExecutablePath(true)) == 0;
}

AttachedData prepareTargetAndData() {
    const bool expanded =
        expandUnpackSpec(targetDirectory, product::kUnpackSpec, kTargetDirectoryCapacity);
    const AttachedData data = locateAttachedData();
    if (!expanded) {
        fatalSpecFailure(product::kUnpackSpec);
    }
    return data;
}

} // namespace

int runLauncher() {
    routeAbortAwayFromDialogs();
    SetDllDirectoryW(L"");

    wchar_t* inheritedParent = getEnvironmentValueA(environment::kParent);
    bool isChild = false;
    if (inheritedParent != nullptr) {
        isChild = isStartedByOwnParent(inheritedParent);
        if (!isChild) {
            unsetEnvironmentValueA(environment::kParent);
            unsetEnvironmentValueA(environment::kStart);
            free(inheritedParent);
            inheritedParent = nullptr;
        }
    }

    AttachedData data{};
    if (isChild) {
        data = prepareTargetAndData();
        // The directory stays this run's for as long as this process runs
        // from it, even past the parent's end. (A cached copy has no run
        // directory to hold; its marker keeps it.)
        holdRunGuard(targetDirectory);
        holdRunDirectory(targetDirectory);
    } else {
        publishOwnProcessId();
        data = prepareTargetAndData();
        if (!systemCalls.setConsoleCtrlHandler(consoleControlHandler, TRUE)) {
            fatalError("Error, failed to register signal handler.");
        }
    }

    if (!hasAttachedDataHeader(data)) {
        fatalError("Error, couldn't find attached data header.");
    }
    if (isChild) {
        const wchar_t* const directory = directoryForChild();
        createReader(data.bytes + attached::kHeaderSize, data.size - attached::kHeaderSize);
        // The parent has read the whole frame: the first name is all the
        // child needs.
        readMainEntry(directory);
        return runMainEntry(directory);
    }
    int exitCode = 0;
    if (runFromCachedCopy(data, &exitCode)) {
        return exitCode;
    }
    createReader(data.bytes + attached::kHeaderSize, data.size - attached::kHeaderSize);
    createRunDirectory();
    unpackAllEntries();
    return static_cast<int>(launchChildAndWait());
}
