#include "launcher/unpack_workers.h"

#include <wchar.h>

#include "launcher/path_capacities.h"
#include "launcher/tree_delete.h"
#include "paths/extended_path.h"
#include "system/system_calls.h"

namespace {

constexpr DWORD kReplaceAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Process-wide, main thread only; launcher/state.h lists them all.
int wantedWorkers = 0;

// ---- creating files -------------------------------------------------

HANDLE createNewFile(const wchar_t* systemPath) {
    return systemCalls.createFile(systemPath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                                  0, nullptr);
}

enum class Removal { removed, notTheSameName, failed };

// The file at systemPath stands where the entry at path goes. It is deleted
// when its own final path is directory's, '\' and the entry's name,
// compared as the system compares names: then it is the file of that very
// name, not one that a short name or a link leads to. Deleting a name never
// touches what another link to the same file holds. failed, with the last
// error, when it cannot be opened or deleted.
Removal removeEarlierFile(const wchar_t* directory, const wchar_t* systemPath,
                          const wchar_t* path) {
    alignas(8) wchar_t targetFinal[kFinalPathCapacity];
    if (!readFinalPath(directory, targetFinal, kFinalPathCapacity)) {
        return Removal::failed;
    }
    const HANDLE existing =
        systemCalls.createFile(systemPath, kReplaceAccess, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (existing == INVALID_HANDLE_VALUE) {
        return Removal::failed;
    }
    const wchar_t* const name = path + wcsnlen(directory, kTargetDirectoryCapacity) + 1;
    Removal removal = Removal::notTheSameName;
    if (isHeldEntryNamed(existing, targetFinal, name)) {
        removal = markHeldForDeletion(existing) ? Removal::removed : Removal::failed;
    }
    const DWORD error = GetLastError();
    systemCalls.closeHandle(existing);
    SetLastError(error);
    return removal;
}

// ---- the worker's calls ------------------------------------------------

EntryFile createOnWorker(const wchar_t* directory, const wchar_t* path, bool replaceable,
                         bool* inTheWay) {
    wchar_t systemPath[kEntrySystemPathCapacity];
    const HANDLE created = createEntryFile(directory, path, systemPath, replaceable, inTheWay);
    return created == INVALID_HANDLE_VALUE ? kNoEntryFile : reinterpret_cast<EntryFile>(created);
}

unsigned long writeOnWorker(EntryFile file, const void* data, std::size_t size) {
    return writeWholeChunk(reinterpret_cast<HANDLE>(file), data, static_cast<DWORD>(size));
}

void closeOnWorker(EntryFile file) {
    systemCalls.closeHandle(reinterpret_cast<HANDLE>(file));
}

constexpr EntryFileCalls kEntryFileCalls{createOnWorker, writeOnWorker, closeOnWorker,
                                         ERROR_OPERATION_ABORTED};

} // namespace

HANDLE createEntryFile(const wchar_t* directory, const wchar_t* path, wchar_t* systemPath,
                       bool replaceable, bool* inTheWay) {
    *inTheWay = false;
    const wchar_t* const system =
        systemPathFor(path, kLongFilePath, systemPath, kEntrySystemPathCapacity);
    const HANDLE created = createNewFile(system);
    if (created != INVALID_HANDLE_VALUE) {
        return created;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        return INVALID_HANDLE_VALUE;
    }
    if (!replaceable) {
        *inTheWay = true;
        return INVALID_HANDLE_VALUE;
    }
    switch (removeEarlierFile(directory, system, path)) {
    case Removal::removed:
        return createNewFile(system);
    case Removal::notTheSameName:
        *inTheWay = true;
        return INVALID_HANDLE_VALUE;
    case Removal::failed:
        break;
    }
    return INVALID_HANDLE_VALUE;
}

DWORD writeWholeChunk(HANDLE file, const void* data, DWORD size) {
    DWORD written = 0;
    if (!systemCalls.writeFile(file, data, size, &written, nullptr)) {
        return GetLastError();
    }
    return written == size ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

void setUnpackWorkerCount(int count) {
    wantedWorkers = count;
}

FileHandover* startUnpackWorkers(const wchar_t* directory, WriteFailures failures) {
    if (!startFileHandover(processFileHandover(), &kEntryFileCalls, directory,
                           chooseWorkerCount(wantedWorkers), failures)) {
        return nullptr;
    }
    return processFileHandover();
}

bool unpackWorkersFailed() {
    return hasHandoverFailed(processFileHandover());
}

void haltUnpackWorkers() {
    haltFileHandover(processFileHandover());
}

void resumeUnpackWorkers() {
    resumeFileHandover(processFileHandover());
}
