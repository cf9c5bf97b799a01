// The file hand-over to worker threads, over this system's thread layer,
// under the sanitizers: files reach their workers whole and in order
// whatever their size against the chunk pool, the first failure comes back
// with the files before it complete, a halt gives every file up, and each
// hand-over starts afresh.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "launcher/file_handover.h"
#include "payload/format.h"

namespace {

// Files in memory: a created file is an entry of the map, written through
// its index in `open`. Names with "refused" cannot be created, names with
// "broken" cannot be written.
struct MemoryFiles {
    std::mutex lock;
    std::map<std::string, std::string> written;
    std::vector<std::unique_ptr<std::string>> open;
};
MemoryFiles memory;

EntryFile createInMemory(const char*, const char* path, bool, bool* inTheWay) {
    *inTheWay = false;
    const std::lock_guard<std::mutex> hold(memory.lock);
    if (std::strstr(path, "refused") != nullptr) {
        return kNoEntryFile;
    }
    memory.open.push_back(std::make_unique<std::string>(path));
    memory.written[path].clear();
    return static_cast<EntryFile>(memory.open.size() - 1);
}

unsigned long writeInMemory(EntryFile file, const void* data, std::size_t size) {
    const std::lock_guard<std::mutex> hold(memory.lock);
    const std::string& path = *memory.open[static_cast<std::size_t>(file)];
    if (path.find("broken") != std::string::npos) {
        return 5;
    }
    memory.written[path].append(static_cast<const char*>(data), size);
    return 0;
}

void closeInMemory(EntryFile) {}

constexpr EntryFileCalls kMemoryCalls{createInMemory, writeInMemory, closeInMemory, 125};
constexpr std::size_t kChunk = attached::kDataChunkSize;

std::string patterned(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index < size; ++index) {
        bytes[index] = static_cast<char>((index * 31 + seed * 7 + index / 4096) & 0xFF);
    }
    return bytes;
}

void handOver(FileHandover* handover, const std::string& path, const std::string& content) {
    handOverFile(handover, path.c_str(), std::hash<std::string>{}(path), false);
    for (std::size_t at = 0; at < content.size(); at += kChunk) {
        const std::size_t length = std::min(kChunk, content.size() - at);
        std::memcpy(acquireChunk(handover), content.data() + at, length);
        passChunk(handover, length);
    }
    endHandedFile(handover);
}

class NativeHandover : public ::testing::Test {
  protected:
    void SetUp() override {
        memory.written.clear();
        memory.open.clear();
    }
    FileHandover* start(int workers) {
        FileHandover* const handover = processFileHandover();
        EXPECT_TRUE(startFileHandover(handover, &kMemoryCalls, "/run", workers,
                                      WriteFailures::returnFalse));
        return handover;
    }
};

// A file larger than the whole pool (32 MiB) streams through its worker
// while small files pass it on the others; the same again in a second
// hand-over with another number of workers.
TEST_F(NativeHandover, EveryFileArrivesWholeWhateverItsSizeAgainstThePool) {
    for (const int workers : {4, 1}) {
        SCOPED_TRACE(workers);
        SetUp();
        FileHandover* const handover = start(workers);
        std::map<std::string, std::string> expected;
        for (unsigned index = 0; index < 300; ++index) {
            const std::size_t size = index == 7 ? (33u << 20) + 5 : (index * 7919) % (3 * kChunk);
            const std::string path = "/run/f" + std::to_string(index);
            expected[path] = patterned(size, index);
            handOver(handover, path, expected[path]);
        }
        EXPECT_TRUE(finishFileHandover(handover));
        EXPECT_FALSE(hasHandoverFailed(handover));
        EXPECT_EQ(memory.written.size(), expected.size());
        for (const auto& [path, content] : expected) {
            EXPECT_TRUE(memory.written[path] == content) << path;
        }
    }
}

// Whichever worker fails first, the files before the first failure in
// stream order are complete; the next hand-over writes everything.
TEST_F(NativeHandover, TheFirstFailureComesBackAfterEveryEarlierFileAndTheNextStartsAfresh) {
    for (const char* failing : {"refused", "broken"}) {
        SCOPED_TRACE(failing);
        SetUp();
        FileHandover* const handover = start(3);
        for (unsigned index = 0; index < 40; ++index) {
            const std::string name = index == 20 ? failing : "f" + std::to_string(index);
            handOver(handover, "/run/" + name, patterned(2 * kChunk + index, index));
        }
        EXPECT_FALSE(finishFileHandover(handover));
        for (unsigned index = 0; index < 20; ++index) {
            EXPECT_EQ(memory.written["/run/f" + std::to_string(index)],
                      patterned(2 * kChunk + index, index));
        }
    }
    FileHandover* const handover = start(2);
    handOver(handover, "/run/after", "after");
    EXPECT_TRUE(finishFileHandover(handover));
    EXPECT_EQ(memory.written["/run/after"], "after");
}

// Halted (the directory is about to be deleted), workers create and write
// nothing more, and the hand-over cannot end as a success; resumed, a
// later one writes again.
TEST_F(NativeHandover, AHaltGivesEveryFileUpUntilResumed) {
    FileHandover* const handover = start(2);
    handOver(handover, "/run/before", patterned(kChunk, 1));
    haltFileHandover(handover);
    for (unsigned index = 0; index < 10; ++index) {
        handOver(handover, "/run/halted" + std::to_string(index), patterned(kChunk, index));
    }
    EXPECT_FALSE(finishFileHandover(handover));
    for (unsigned index = 0; index < 10; ++index) {
        EXPECT_EQ(memory.written.count("/run/halted" + std::to_string(index)), 0u);
    }
    resumeFileHandover(handover);
    SetUp();
    FileHandover* const again = start(2);
    handOver(again, "/run/resumed", "resumed");
    EXPECT_TRUE(finishFileHandover(again));
    EXPECT_EQ(memory.written["/run/resumed"], "resumed");
}

} // namespace
