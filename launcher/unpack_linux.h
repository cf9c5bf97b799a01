// Walking the entry stream on Linux: the parent writes every entry below
// the run directory; the child role (a second start from within the
// application) reads the first name and runs that file's run_code.
#ifndef CORVELLINTH_LAUNCHER_UNPACK_LINUX_H
#define CORVELLINTH_LAUNCHER_UNPACK_LINUX_H

#include <cstdint>

#include "launcher/write_failures.h"

// Parent: writes every entry below the run directory through its
// descriptor (launcher/run_directory_linux.h), names as UTF-8 paths with '/'
// separators, each file with mode 0755 when the package lists it as
// executable, else 0644, less the umask; then releases the reader. Damaged
// data (a name that cannot be converted or would leave the run directory,
// an executable-entries record that does not parse or lists an entry that
// is not there) ends with "Error, couldn't decode attached data."; a file
// that cannot be created or written ends with its message; a stop signal
// ends the process by that signal (launcher/stop_signals_linux.h). Every
// such end deletes the run directory. With WriteFailures::returnFalse, a file
// that cannot be created or written makes it return false instead, the
// reader released and the run directory left to the caller; true otherwise.
bool unpackAllEntries(WriteFailures failures);

// The first entry's full path, once unpackAllEntries or
// runApplicationFromFirstEntry has read it.
const char* mainFilePath();

// Loads the main file (dlopen, RTLD_NOW) and returns what its run_code
// returns, called with the own executable's path and the user's
// arguments. Ends with "Error, load DLL." or "Error, DLL entry point not
// found." when it cannot.
int runApplication();

// Reads the first entry's name and size (the reader is created, and stays
// after it); returns the name, and prepares the main file's path for
// runApplication. Ends with "Error, attached data holds no application."
// when there is no entry.
const char16_t* readMainEntry(std::uint64_t* size);

// Child role: reads the first entry's name, then runApplication.
int runApplicationFromFirstEntry();

#endif
