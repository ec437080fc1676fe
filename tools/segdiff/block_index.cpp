// The hash index over OLD.
#include "segdiff.h"

namespace segdiff {

namespace {

// Two slots per indexed block keep collisions rare; the table costs four
// bytes per slot, a quarter... see slotsFor below.
uint64_t slotsFor(uint64_t oldSize) {
    uint64_t blocks = oldSize / INDEX_STRIDE + 1;
    return blocks * SLOTS_PER_BLOCK;
}

}  // namespace

uint64_t hashBaseToBlockSize() {
    uint64_t p = 1;
    for (uint32_t k = 0; k < BLOCK_SIZE; ++k) p *= HASH_BASE;
    return p;
}

void buildIndex(BlockIndex& index, const InputFile& oldFile) {
    index.slotCount = slotsFor(oldFile.size);
    index.slots.assign(index.slotCount, EMPTY_SLOT);
    if (oldFile.size < BLOCK_SIZE) return;
    const uint64_t last = oldFile.size - BLOCK_SIZE;
    for (uint64_t pos = 0; pos <= last; pos += INDEX_STRIDE)
        index.slots[slotOf(index, hashBlock(oldFile.data + pos))] = static_cast<uint32_t>(pos);
}

}  // namespace segdiff
