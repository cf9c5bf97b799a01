// Walking the entry stream: the parent writes every entry below the target
// directory; the child reads the first name and runs that file's run_code.
#ifndef CORVELLINTH_LAUNCHER_UNPACK_H
#define CORVELLINTH_LAUNCHER_UNPACK_H

// Parent role: writes every entry, then releases the reader. Failures end
// the process with their message and exit code 2.
void unpackAllEntries();

// Closes the file that unpackAllEntries is writing, if any: an ending in
// the middle of a file calls it so that the file can be deleted. Main
// thread only.
void closeEntryFile();

// Child role: loads the first entry (already on disk) as a DLL and returns
// what its run_code returns. Never returns on failure.
int runApplicationFromFirstEntry();

#endif
