// Running the application from a held cached copy in the launcher's own
// process: the copy needs no delete at the end, so no child is needed to
// outlive the application. On its own in this file so that a benchmark can
// link its model of the other choice (a child, as for a run directory) in
// its place.
#include <windows.h>

#include "diagnostics/diagnostics.h"
#include "launcher/cache.h"
#include "launcher/child_launch.h"
#include "launcher/unpack.h"
#include "payload/format.h"
#include "payload/reader.h"

int runHeldCopy(const AttachedData& data) {
    const wchar_t* const copy = heldCopyDirectory();
    publishRunVariables();
    setRuntimeArgumentsToApplications();
    createReader(data.bytes + attached::kHeaderSize, data.size - attached::kHeaderSize);
    // The frame is not read to its end here: the copy holds what runs, and
    // its check has shown it complete. But the main file's name comes from
    // the frame, so it must name a listed file of its size.
    std::uint64_t size = 0;
    const wchar_t* const mainName = readMainEntry(copy, &size);
    if (!isListedFile(mainName, size)) {
        fatalError("Error, couldn't decode attached data.");
    }
    return runMainEntry(copy);
}
