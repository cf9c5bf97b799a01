// The check that keeps every entry of the attached data inside the target
// directory and out of Windows' special names. No Windows calls and no
// assumption about the width of wchar_t: it builds natively for fuzzing,
// and the packer applies the same check before it writes a name.
#ifndef CORVELLINTH_PAYLOAD_ENTRY_NAMES_H
#define CORVELLINTH_PAYLOAD_ENTRY_NAMES_H

#include <cstddef>
#include <cstdint>

// What is wrong with an entry name, the first problem from the left.
enum class EntryNameProblem {
    none,
    // No name, or an empty component: a leading, trailing or doubled '\'.
    emptyComponent,
    // A component that ends in '.' or ' ' ("." and ".." among them):
    // Windows drops those, so "main.dll." would name "main.dll".
    dotOrSpaceAtEnd,
    // One of < > : " / | ? * or a code unit below 0x20 (':' would name a
    // drive or a stream, '/' is a second separator to Windows).
    reservedCharacter,
    // A surrogate code unit without its partner.
    unpairedSurrogate,
    // A DOS device as a component, in any case, with or without an
    // extension and with spaces before it: CON, PRN, AUX, NUL, COM1 to COM9
    // and LPT1 to LPT9 (also with the digits superscript 1 to 3), CONIN$,
    // CONOUT$. Windows opens the device instead of a file.
    deviceName,
};

// The problem of name (zero-terminated UTF-16 code units, components
// separated by '\'); EmptyComponent for a null name.
EntryNameProblem findEntryNameProblem(const char16_t* name);

// True when name has no problem: a relative path that stays below the
// directory it is joined to and names ordinary files and directories.
bool isSafeEntryName(const wchar_t* name);

// Keys for telling apart the files that safe entry names lead to: one per
// directory on the way, outermost first, then one for the whole name, each
// written to keys (capacity of them; a name of n code units has at most
// (n + 1) / 2 components). Returns how many were written. Two names that
// Windows or Wine may take for the same path always get the same key: the
// key folds case (ASCII letters, and the four other letters whose case
// partner is ASCII: U+0130, U+0131, U+017F, U+212A) and takes every other
// unit from 0x80 on as one and the same. Equal keys may still be different
// paths; a short (8.3) name is not caught, see mayBeShortName.
std::size_t entryPathKeys(const char16_t* name, std::uint64_t* keys, std::size_t capacity);
std::size_t entryPathKeys(const wchar_t* name, std::uint64_t* keys, std::size_t capacity);

// Linux: writes name (zero-terminated UTF-16 code units, '\' separated) as
// a relative UTF-8 path with '/' separators into path (capacity bytes,
// terminator included). False, with path empty, when the name cannot be
// converted (an unpaired surrogate) or would not stay below the directory
// it is joined to on Linux: an empty component (no name, a leading,
// trailing or doubled '\'), a component "." or "..", or a '/' in a name
// (a separator to Linux, an ordinary unit in the stream); also when it does
// not fit. Nothing else is refused: any other unit is an ordinary byte of a
// Linux name.
bool convertEntryNameToUtf8(const char16_t* name, char* path, std::size_t capacity);

// True when name holds a '~': it may be the short (8.3) name that the file
// system made up for another, longer name.
bool mayBeShortName(const wchar_t* name);

#endif
