// The chained index over OLD, for inputs small enough to index densely.
#include <sys/mman.h>

#include <cstring>

#include "segdiff.h"

namespace segdiff {

namespace {

void* zeroedTable(uint64_t bytes, const InputFile& oldFile) {
    void* table = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (table == MAP_FAILED) fail("out of memory for the index of " + oldFile.path);
#ifdef MADV_HUGEPAGE
    madvise(table, bytes, MADV_HUGEPAGE);
#endif
    return table;
}

constexpr uint64_t BATCH = 16;

}  // namespace

uint32_t chainStepFor(uint64_t oldSize) {
    uint32_t step = 1;
    while (step < 64 && 8 * oldSize / step > oldSize / 2 + CHAIN_INDEX_ALLOWANCE) step *= 2;
    return step;
}

ChainIndex::~ChainIndex() {
    if (heads) munmap(heads, headCount * sizeof(uint32_t));
    if (links) munmap(links, linkCount * sizeof(uint32_t));
}

void buildChainIndex(ChainIndex& index, const InputFile& oldFile, uint32_t step) {
    index.step = step;
    const uint64_t entries = oldFile.size >= CHAIN_KEY ? (oldFile.size - CHAIN_KEY) / step + 1 : 0;
    index.headBits = 10;
    while ((uint64_t{1} << index.headBits) < entries && index.headBits < 31) ++index.headBits;
    index.headCount = uint64_t{1} << index.headBits;
    index.linkCount = entries > 0 ? entries : 1;
    index.heads = static_cast<uint32_t*>(zeroedTable(index.headCount * sizeof(uint32_t), oldFile));
    index.links = static_cast<uint32_t*>(zeroedTable(index.linkCount * sizeof(uint32_t), oldFile));
    uint64_t batch[BATCH];
    for (uint64_t first = 0; first < entries; first += BATCH) {
        uint64_t n = entries - first < BATCH ? entries - first : BATCH;
        for (uint64_t k = 0; k < n; ++k) {
            batch[k] = chainSlot(index, oldFile.data + (first + k) * step);
            __builtin_prefetch(index.heads + batch[k], 1);
        }
        for (uint64_t k = 0; k < n; ++k) {
            // Inside a run that repeats with the step (zeros, padding) only
            // the run's first position is indexed: a copy found there runs
            // the whole length, where one from the run's newest positions,
            // which a lookup meets first, would end after a few bytes.
            const uint8_t* p = oldFile.data + (first + k) * step;
            if (first + k > 0 && std::memcmp(p, p - step, CHAIN_KEY) == 0) continue;
            index.links[first + k] = index.heads[batch[k]];
            index.heads[batch[k]] = static_cast<uint32_t>(first + k + 1);
        }
    }
}

}  // namespace segdiff
