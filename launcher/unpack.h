// Walking the entry stream: the parent writes every entry below the target
// directory; the child reads the first name and runs that file's run_code.
#ifndef CORVELLINTH_LAUNCHER_UNPACK_H
#define CORVELLINTH_LAUNCHER_UNPACK_H

// Parent role: writes every entry, then releases the reader. This thread
// reads the stream and makes the directories; worker threads create, write
// and close the files (launcher/unpack_workers.h), or this thread does when
// no worker can be started. Returns once every file is closed. A failure
// ends the process with its message and exit code 2: the first failure in
// stream order, as if the entries were written one after the other.
void unpackAllEntries();

// Closes the file that unpackAllEntries is writing itself (without
// workers), if any: an ending in the middle of a file calls it so that the
// file can be deleted. Main thread only.
void closeEntryFile();

// Child role: loads the first entry (already on disk) as a DLL and returns
// what its run_code returns. Never returns on failure.
int runApplicationFromFirstEntry();

#endif
