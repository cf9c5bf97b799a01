// The check that keeps every entry of the attached data inside the target
// directory. No Windows calls and no assumption about the width of wchar_t:
// it builds natively for fuzzing too.
#ifndef CORVELLINTH_PAYLOAD_ENTRY_NAMES_H
#define CORVELLINTH_PAYLOAD_ENTRY_NAMES_H

// True when name (zero-terminated) is a relative path that stays below the
// directory it is joined to: one or more components separated by '\' or
// '/', none of them empty, "." or "..", and no ':' anywhere (no drive, no
// alternate data stream). False for a null or empty name.
bool isSafeEntryName(const wchar_t* name);

#endif
