// Finding the attached data in the launcher's own executable and checking
// its header. On Windows it is resource RCDATA 27 of the running module; on
// Linux the section .onefile of /proc/self/exe, mapped read-only (the
// package format: sections that are not loaded, found through the section
// headers).
#ifndef CORVELLINTH_PAYLOAD_ATTACHED_DATA_H
#define CORVELLINTH_PAYLOAD_ATTACHED_DATA_H

#include <cstdint>

struct AttachedData {
    const unsigned char* bytes; // read-only, into the mapped module image or file
    std::uint64_t size;
};

// The attached data of the running executable; { nullptr, 0 } when there is
// none. Never fails otherwise.
AttachedData locateAttachedData();

// The same for the cache record (payload/cache_record.h): RCDATA 28, or the
// section .onefile_cache.
AttachedData locateCacheRecord();

// True when the data starts with the three header bytes 'K' 'A' 'Y'.
bool hasAttachedDataHeader(const AttachedData& data);

#ifndef _WIN32
// The executable-entries record (payload/exec_modes.h), the section
// .onefile_modes; { nullptr, 0 } when there is none.
AttachedData locateExecModes();

// The attached data before upTo has been read for good: its pages leave the
// process's memory (the file's pages stay in the system's cache), so that
// reading a package of any size takes the same memory.
void releaseAttachedDataBefore(const unsigned char* upTo);

// Unmaps everything that the three locate functions mapped; their results
// are no longer valid.
void unmapAttachedData();
#endif

#endif
