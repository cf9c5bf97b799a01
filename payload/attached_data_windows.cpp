#include "payload/attached_data.h"

#include <windows.h>

#include "payload/cache_record.h"
#include "payload/format.h"

namespace {

AttachedData locateDataResource(int id) {
    const HRSRC resource =
        FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(attached::kResourceType));
    if (resource == nullptr) {
        return {nullptr, 0};
    }
    const HGLOBAL loaded = LoadResource(nullptr, resource);
    const void* const bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        return {nullptr, 0};
    }
    return {static_cast<const unsigned char*>(bytes), SizeofResource(nullptr, resource)};
}

} // namespace

AttachedData locateAttachedData() {
    return locateDataResource(attached::kResourceId);
}

AttachedData locateCacheRecord() {
    return locateDataResource(cache::kResourceId);
}
