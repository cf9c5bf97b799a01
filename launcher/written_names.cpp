// An open-addressing hash set of 64-bit keys on the heap, probed linearly
// and doubled when half full, so that a lookup stays a step or two whatever
// the number of entries. Key 0 marks a free slot; a key of 0 is stored as 1,
// which only widens what counts as "maybe the same name".
#include "launcher/written_names.h"

#include <stdlib.h>

#include <cstddef>

#include "diagnostics/diagnostics.h"

namespace {

constexpr std::size_t kFirstCapacity = 1024; // a power of two
constexpr std::uint64_t kFreeSlot = 0;

// Process-wide, main thread only; launcher/state.h lists them all.
std::uint64_t* slots = nullptr;
std::size_t capacity = 0;
std::size_t used = 0;

std::size_t firstSlotOf(std::uint64_t key, std::size_t slotCount) {
    // Keys are hashes already; the high bits spread the low ones further.
    return static_cast<std::size_t>(key ^ (key >> 32)) & (slotCount - 1);
}

// True when key was in table already; puts it there otherwise.
bool placeKey(std::uint64_t* table, std::size_t slotCount, std::uint64_t key) {
    for (std::size_t slot = firstSlotOf(key, slotCount);; slot = (slot + 1) & (slotCount - 1)) {
        if (table[slot] == key) {
            return true;
        }
        if (table[slot] == kFreeSlot) {
            table[slot] = key;
            return false;
        }
    }
}

void growSlots() {
    const std::size_t grown = capacity == 0 ? kFirstCapacity : 2 * capacity;
    auto* const table = static_cast<std::uint64_t*>(calloc(grown, sizeof(std::uint64_t)));
    if (table == nullptr) {
        fatalError("Error, couldn't allocate memory.");
    }
    for (std::size_t slot = 0; slot < capacity; ++slot) {
        if (slots[slot] != kFreeSlot) {
            placeKey(table, grown, slots[slot]);
        }
    }
    free(slots);
    slots = table;
    capacity = grown;
}

} // namespace

void forgetWrittenNames() {
    free(slots);
    slots = nullptr;
    capacity = 0;
    used = 0;
}

bool recordWrittenName(std::uint64_t key) {
    if (2 * (used + 1) > capacity) {
        growSlots();
    }
    const std::uint64_t stored = key == kFreeSlot ? 1 : key;
    const bool known = placeKey(slots, capacity, stored);
    if (!known) {
        ++used;
    }
    return known;
}
