// The check that keeps every entry of the attached data inside the target
// directory and out of Windows' special names. No Windows calls and no
// assumption about the width of wchar_t: it builds natively for fuzzing,
// and the packer applies the same check before it writes a name.
#ifndef CORVELLINTH_PAYLOAD_ENTRY_NAMES_H
#define CORVELLINTH_PAYLOAD_ENTRY_NAMES_H

// What is wrong with an entry name, the first problem from the left.
enum class EntryNameProblem {
    None,
    // No name, or an empty component: a leading, trailing or doubled '\'.
    EmptyComponent,
    // A component that ends in '.' or ' ' ("." and ".." among them):
    // Windows drops those, so "main.dll." would name "main.dll".
    DotOrSpaceAtEnd,
    // One of < > : " / | ? * or a code unit below 0x20 (':' would name a
    // drive or a stream, '/' is a second separator to Windows).
    ReservedCharacter,
    // A surrogate code unit without its partner.
    UnpairedSurrogate,
    // A DOS device as a component, in any case, with or without an
    // extension and with spaces before it: CON, PRN, AUX, NUL, COM1 to COM9
    // and LPT1 to LPT9 (also with the digits superscript 1 to 3), CONIN$,
    // CONOUT$. Windows opens the device instead of a file.
    DeviceName,
};

// The problem of name (zero-terminated UTF-16 code units, components
// separated by '\'); EmptyComponent for a null name.
EntryNameProblem findEntryNameProblem(const char16_t* name);

// True when name has no problem: a relative path that stays below the
// directory it is joined to and names ordinary files and directories.
bool isSafeEntryName(const wchar_t* name);

#endif
