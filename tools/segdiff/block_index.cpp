// The hash index over OLD.
#include <sys/mman.h>


#include "segdiff.h"

namespace segdiff {

namespace {

// With fewer slots more blocks are lost to collisions; more slots buy
// little and cost time as well as memory.
uint64_t slotsFor(uint64_t oldSize) {
    uint64_t blocks = oldSize / INDEX_STRIDE + 1;
    return 2 * blocks;
}

// Blocks are hashed a batch at a time and their slots fetched ahead: the
// stores land all over a table far bigger than any cache.
constexpr uint64_t BATCH = 16;

}  // namespace

BlockIndex::~BlockIndex() {
    if (slots) munmap(slots, slotCount * sizeof(uint32_t));
}

void buildIndex(BlockIndex& index, const InputFile& oldFile) {
    index.slotCount = slotsFor(oldFile.size);
    // Fresh anonymous pages read as zero. Large pages, where the system has
    // them, spare most of the address translation misses of random access.
    void* table = mmap(nullptr, index.slotCount * sizeof(uint32_t), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (table == MAP_FAILED) fail("out of memory for the index of " + oldFile.path);
#ifdef MADV_HUGEPAGE
    madvise(table, index.slotCount * sizeof(uint32_t), MADV_HUGEPAGE);
#endif
    index.slots = static_cast<uint32_t*>(table);
    if (oldFile.size < BLOCK_SIZE) return;
    const uint64_t blocks = (oldFile.size - BLOCK_SIZE) / INDEX_STRIDE + 1;
    uint64_t batch[BATCH];
    for (uint64_t first = 0; first < blocks; first += BATCH) {
        uint64_t n = blocks - first < BATCH ? blocks - first : BATCH;
        for (uint64_t k = 0; k < n; ++k) {
            batch[k] = slotOf(index, hashBlock(oldFile.data + (first + k) * INDEX_STRIDE));
            __builtin_prefetch(index.slots + batch[k], 1);
        }
        for (uint64_t k = 0; k < n; ++k)
            index.slots[batch[k]] = static_cast<uint32_t>((first + k) * INDEX_STRIDE + 1);
    }
}

}  // namespace segdiff
