#include "payload/attached_data.h"

#include <windows.h>

#include "payload/format.h"

AttachedData locateAttachedData() {
    const HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(attached::kResourceId),
                                         MAKEINTRESOURCEA(attached::kResourceType));
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
