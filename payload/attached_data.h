// Finding the attached data in the launcher's own executable and checking
// its header.
#ifndef CORVELLINTH_PAYLOAD_ATTACHED_DATA_H
#define CORVELLINTH_PAYLOAD_ATTACHED_DATA_H

#include <cstdint>

struct AttachedData {
    const unsigned char* bytes; // read-only, into the mapped module image
    std::uint64_t size;
};

// The resource RCDATA 27 of the running executable; { nullptr, 0 } when
// there is none. Never fails otherwise.
AttachedData locateAttachedData();

// The same for the cache record, RCDATA 28 (payload/cache_record.h).
AttachedData locateCacheRecord();

// True when the data starts with the three header bytes 'K' 'A' 'Y'.
bool hasAttachedDataHeader(const AttachedData& data);

#endif
