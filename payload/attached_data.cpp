#include "payload/attached_data.h"

#include "payload/format.h"

bool hasAttachedDataHeader(const AttachedData& data) {
    if (data.bytes == nullptr || data.size < attached::kHeaderSize) {
        return false;
    }
    for (std::size_t i = 0; i < attached::kHeaderSize; ++i) {
        if (data.bytes[i] != attached::kHeader[i]) {
            return false;
        }
    }
    return true;
}
