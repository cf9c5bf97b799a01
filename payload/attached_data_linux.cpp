// The package's sections in /proc/self/exe: looked up once through the
// section headers, each mapped read-only and privately where it lies in the
// file (no copy, and nothing read that is not needed).
#include "payload/attached_data.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "payload/cache_record.h"
#include "payload/elf_sections.h"
#include "payload/exec_modes.h"
#include "payload/format.h"

namespace {

constexpr char kOwnExecutable[] = "/proc/self/exe";
constexpr unsigned char kNothing[1] = {0};
// Read pages are given back in steps of this size: one system call per
// step, and no more memory held than a step and the read-ahead.
constexpr std::size_t kReleaseStep = 1 << 20;

enum SectionIndex { kAttachedSection, kCacheSection, kModesSection, kSectionCount };
constexpr const char* kSectionNames[kSectionCount] = {attached::kSectionName, cache::kSectionName,
                                                      exec_modes::kSectionName};

// One mapping per section, made on first use; main thread only.
struct MappedSection {
    bool looked;
    void* mapping; // page-aligned start, or null
    std::size_t mappedSize;
    std::size_t released; // bytes from mapping on that have been given back
    AttachedData data;
};

bool sectionsLooked = false;
elf::Section sections[kSectionCount];
MappedSection mapped[kSectionCount];

bool readOwnFileAt(void* context, std::uint64_t offset, void* destination, std::size_t size) {
    const int file = *static_cast<int*>(context);
    auto* at = static_cast<unsigned char*>(destination);
    while (size > 0) {
        const ssize_t got = pread(file, at, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        at += got;
        offset += static_cast<std::uint64_t>(got);
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

int openOwnExecutable(std::uint64_t* size) {
    const int file = open(kOwnExecutable, O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (file >= 0 && fstat(file, &status) == 0 && status.st_size >= 0) {
        *size = static_cast<std::uint64_t>(status.st_size);
        return file;
    }
    if (file >= 0) {
        close(file);
    }
    return -1;
}

// Maps sections[index] where it lies; stays unmapped (no data) when the
// system refuses.
void mapSection(int file, SectionIndex index) {
    MappedSection& section = mapped[index];
    section.looked = true;
    const elf::Section& where = sections[index];
    if (!where.present) {
        return;
    }
    if (where.size == 0) {
        // Present but empty, which no section of a package is: the reader
        // of that section refuses it, as it would refuse bad contents.
        section.data = {kNothing, 0};
        return;
    }
    const auto pageSize = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t start = where.offset - where.offset % pageSize;
    const std::uint64_t lead = where.offset - start;
    if (where.size > SIZE_MAX - lead) {
        return;
    }
    const std::size_t length = static_cast<std::size_t>(lead + where.size);
    void* const mapping =
        mmap(nullptr, length, PROT_READ, MAP_PRIVATE, file, static_cast<off_t>(start));
    if (mapping == MAP_FAILED) {
        return;
    }
    // Read front to back, once: read ahead, and drop what lies behind.
    madvise(mapping, length, MADV_SEQUENTIAL);
    section.mapping = mapping;
    section.mappedSize = length;
    section.data = {static_cast<const unsigned char*>(mapping) + lead, where.size};
}

AttachedData locateSection(SectionIndex index) {
    if (mapped[index].looked) {
        return mapped[index].data;
    }
    std::uint64_t size = 0;
    int file = openOwnExecutable(&size);
    if (file < 0) {
        mapped[index].looked = true;
        return {nullptr, 0};
    }
    if (!sectionsLooked) {
        const elf::File own{readOwnFileAt, &file, size};
        elf::findSections(own, kSectionNames, kSectionCount, sections);
        sectionsLooked = true;
    }
    mapSection(file, index);
    close(file);
    return mapped[index].data;
}

} // namespace

AttachedData locateAttachedData() {
    return locateSection(kAttachedSection);
}

AttachedData locateCacheRecord() {
    return locateSection(kCacheSection);
}

AttachedData locateExecModes() {
    return locateSection(kModesSection);
}

void releaseAttachedDataBefore(const unsigned char* upTo) {
    MappedSection& section = mapped[kAttachedSection];
    auto* const start = static_cast<unsigned char*>(section.mapping);
    if (start == nullptr || upTo <= start || upTo > start + section.mappedSize) {
        return;
    }
    const auto pageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const auto whole = static_cast<std::size_t>(upTo - start) / pageSize * pageSize;
    if (whole >= section.released + kReleaseStep) {
        madvise(start + section.released, whole - section.released, MADV_DONTNEED);
        section.released = whole;
    }
}

void unmapAttachedData() {
    for (MappedSection& section : mapped) {
        if (section.mapping != nullptr) {
            munmap(section.mapping, section.mappedSize);
        }
        section = {};
    }
    sectionsLooked = false;
}
