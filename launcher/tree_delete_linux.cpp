// The walk goes down into the first subdirectory it meets, deleting every
// other entry on the way, and back up through ".." once a directory holds
// nothing more to enter; each way up is checked against the identity
// (device and inode) that the directory above had on the way down, and the
// directory just left is then removed by its name. A directory that cannot
// be removed (something in it is on another mount, or cannot be deleted)
// is remembered and not entered again, so the walk ends.
#include "launcher/tree_delete_linux.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace {

constexpr unsigned kIdentityMask = STATX_TYPE | STATX_INO | STATX_MNT_ID;
constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

struct Identity {
    dev_t device;
    ino_t inode;
    std::uint64_t mount; // 0 where the system does not say
};

bool sameDirectory(const Identity& first, const Identity& second) {
    return first.device == second.device && first.inode == second.inode;
}

bool readIdentity(int descriptor, Identity* identity) {
    struct statx status {};
    if (statx(descriptor, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, kIdentityMask, &status) != 0) {
        return false;
    }
    identity->device = makedev(status.stx_dev_major, status.stx_dev_minor);
    identity->inode = status.stx_ino;
    identity->mount = (status.stx_mask & STATX_MNT_ID) != 0 ? status.stx_mnt_id : 0;
    return true;
}

// A heap array that grows by doubling; false when it cannot.
template <typename Element> struct GrowingArray {
    Element* elements;
    std::size_t count;
    std::size_t capacity;
};

template <typename Element> bool reserve(GrowingArray<Element>* array, std::size_t wanted) {
    if (wanted <= array->capacity) {
        return true;
    }
    std::size_t capacity = array->capacity == 0 ? 16 : array->capacity;
    while (capacity < wanted) {
        capacity *= 2;
    }
    void* const grown = realloc(array->elements, capacity * sizeof(Element));
    if (grown == nullptr) {
        return false;
    }
    array->elements = static_cast<Element*>(grown);
    array->capacity = capacity;
    return true;
}

struct Level {
    Identity identity;
    std::size_t nameStart; // in Walk::names, terminated
};

struct Walk {
    Identity root;
    GrowingArray<Level> levels;     // from the root down to the current directory
    GrowingArray<char> names;       // each level's name in the one above, terminated
    GrowingArray<Identity> givenUp; // directories that could not be removed
};

bool isGivenUp(const Walk& walk, const Identity& identity) {
    for (std::size_t index = 0; index < walk.givenUp.count; ++index) {
        if (sameDirectory(walk.givenUp.elements[index], identity)) {
            return true;
        }
    }
    return false;
}

bool giveUp(Walk* walk, const Identity& identity) {
    if (!reserve(&walk->givenUp, walk->givenUp.count + 1)) {
        return false;
    }
    walk->givenUp.elements[walk->givenUp.count++] = identity;
    return true;
}

bool pushLevel(Walk* walk, const Identity& identity, const char* name) {
    const std::size_t length = strlen(name) + 1;
    if (!reserve(&walk->levels, walk->levels.count + 1) ||
        !reserve(&walk->names, walk->names.count + length)) {
        return false;
    }
    memcpy(walk->names.elements + walk->names.count, name, length);
    walk->levels.elements[walk->levels.count++] = {identity, walk->names.count};
    walk->names.count += length;
    return true;
}

void popLevel(Walk* walk) {
    --walk->levels.count;
    walk->names.count = walk->levels.elements[walk->levels.count].nameStart;
}

const Level& topLevel(const Walk& walk) {
    return walk.levels.elements[walk.levels.count - 1];
}

struct Subdirectory {
    int descriptor;
    Identity identity;
    char name[NAME_MAX + 1];
};

// Opens name in directory as a directory to enter: not a link, on the
// root's mount, not given up. A name that turns out to be no directory (a
// file, a link) is deleted instead.
bool openSubdirectory(const Walk& walk, int directory, const char* name, Subdirectory* found) {
    const int descriptor = openat(directory, name, kOpenDirectory | O_NOFOLLOW);
    if (descriptor < 0) {
        if (errno == ENOTDIR || errno == ELOOP) {
            unlinkat(directory, name, 0);
        }
        return false;
    }
    Identity identity{};
    if (!readIdentity(descriptor, &identity) || identity.device != walk.root.device ||
        identity.mount != walk.root.mount || isGivenUp(walk, identity) ||
        strlen(name) >= sizeof(found->name)) {
        close(descriptor);
        return false;
    }
    found->descriptor = descriptor;
    found->identity = identity;
    memcpy(found->name, name, strlen(name) + 1);
    return true;
}

// Deletes every entry of directory that is not a directory to enter, until
// it meets one: true with that one open in *found, false when there is
// none left.
bool clearUntilSubdirectory(const Walk& walk, int directory, Subdirectory* found) {
    const int listing = openat(directory, ".", kOpenDirectory);
    DIR* const stream = listing >= 0 ? fdopendir(listing) : nullptr;
    if (stream == nullptr) {
        if (listing >= 0) {
            close(listing);
        }
        return false;
    }
    bool descend = false;
    while (!descend) {
        const dirent* const entry = readdir(stream);
        if (entry == nullptr) {
            break;
        }
        const char* const name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            continue;
        }
        if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
            descend = openSubdirectory(walk, directory, name, found);
        } else {
            unlinkat(directory, name, 0);
        }
    }
    closedir(stream);
    return descend;
}

// From the current directory (descriptor *current, emptied of all it can
// be) up to the one above it, checked against the way down, removing the
// one left. False when the way up is not the way down.
bool climbAndRemove(Walk* walk, int* current) {
    const int parent = openat(*current, "..", kOpenDirectory);
    close(*current);
    *current = parent;
    Identity above{};
    if (parent < 0 || !readIdentity(parent, &above) ||
        !sameDirectory(above, walk->levels.elements[walk->levels.count - 2].identity)) {
        return false;
    }
    const Level& left = topLevel(*walk);
    if (unlinkat(parent, walk->names.elements + left.nameStart, AT_REMOVEDIR) != 0 &&
        !giveUp(walk, left.identity)) {
        return false;
    }
    popLevel(walk);
    return true;
}

void walkTree(Walk* walk, int current) {
    for (;;) {
        Subdirectory found{};
        if (clearUntilSubdirectory(*walk, current, &found)) {
            if (!pushLevel(walk, found.identity, found.name)) {
                close(found.descriptor);
                if (!giveUp(walk, found.identity)) {
                    break;
                }
                continue;
            }
            close(current);
            current = found.descriptor;
            continue;
        }
        if (walk->levels.count == 1 || !climbAndRemove(walk, &current)) {
            break;
        }
    }
    if (current >= 0) {
        close(current);
    }
}

} // namespace

void emptyDirectoryTree(int descriptor) {
    Walk walk{};
    const int current = openat(descriptor, ".", kOpenDirectory);
    if (current < 0) {
        return;
    }
    if (!readIdentity(current, &walk.root) || !pushLevel(&walk, walk.root, "")) {
        close(current);
    } else {
        walkTree(&walk, current);
    }
    free(walk.levels.elements);
    free(walk.names.elements);
    free(walk.givenUp.elements);
}
