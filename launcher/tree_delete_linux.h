// Emptying a directory tree on Linux without ever touching anything outside
// it: every step goes through a descriptor (openat, unlinkat with a
// directory descriptor, fstat) opened without following links, so a link
// planted inside is removed itself and never entered, and a directory
// renamed away while the walk is inside it is noticed and left. A
// directory on another mount (another file system, or a bind mount of a
// directory elsewhere) is never entered. The walk holds one directory
// descriptor at a time and keeps the names on its way on the heap: no
// limit on the depth or the length of a path.
#ifndef CORVELLINTH_LAUNCHER_TREE_DELETE_LINUX_H
#define CORVELLINTH_LAUNCHER_TREE_DELETE_LINUX_H

// Removes everything inside the directory open as descriptor (which stays
// open, and is not removed itself) that it can. Uses no shared state.
// Reports nothing.
void emptyDirectoryTree(int descriptor);

#endif
