#include "launcher/directory_listing.h"

#include <wchar.h>

#include "system/system_calls.h"

namespace {

bool isDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

} // namespace

bool isRealDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool listDirectory(WideText* path, WIN32_FIND_DATAW* found, ListingVisitor visit, void* context) {
    const std::size_t length = path->length;
    const wchar_t pattern[] = L"\\*";
    if (!tryAppendWideUnits(path, pattern, 2)) {
        return false;
    }
    const HANDLE search =
        systemCalls.findFirstFile(path->buffer, FindExInfoBasic, found, FindExSearchNameMatch,
                                  nullptr, FIND_FIRST_EX_LARGE_FETCH);
    truncateWideText(path, length);
    if (search == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool listed = true;
    do {
        if (!isDotEntry(found->cFileName)) {
            listed = visit(context, *found);
            truncateWideText(path, length);
        }
    } while (listed && FindNextFileW(search, found));
    FindClose(search);
    return listed;
}

bool appendEntryName(WideText* path, const wchar_t* name) {
    const std::size_t length = path->length;
    const wchar_t separator = L'\\';
    if (tryAppendWideUnits(path, &separator, 1) &&
        tryAppendWideUnits(path, name, wcsnlen(name, MAX_PATH))) {
        return true;
    }
    truncateWideText(path, length);
    return false;
}
