// The matcher walks NEW once. Where the previous copy breaks off it first
// tries to pick up again on one of the few diagonals (OLD position minus NEW
// position) it used last: a re-stamped tar header or an edited line leaves
// the rest of a file where it was, and a copy that resumes on a known
// diagonal costs a record that compresses to almost nothing. Only when no
// recent diagonal fits does it look the position up in the block index,
// which finds content that moved anywhere in OLD. Every hit is extended
// forwards as far as it matches and backwards into the pending literal.
#include <cstring>

#include "segdiff.h"
#include "walk.h"

namespace segdiff {

using namespace walk;

namespace {

// A copy found through the index must be at least this long to pay for its
// record, which usually jumps far and so compresses badly; one that resumes
// a recent diagonal may be shorter. Shorter limits make more records than
// they save literal bytes, once both are compressed.
constexpr uint64_t MIN_COPY = 80;
constexpr uint64_t MIN_RESUME = 48;
constexpr int RECENT_DIAGONALS = 4;
// Where a copy breaks off, the same diagonal picking up again within this
// many bytes wins over anything the index offers in between (a tar header
// differs from its old twin in mtime and checksum, and the index would
// otherwise find the rest of the header in some other file's header).
constexpr uint64_t RESUME_WINDOW = 24;

}  // namespace

MatchStats findCopies(const InputFile& oldFile, const InputFile& newFile, DeltaWriter& writer) {
    if (oldFile.size < 8 || newFile.size < 8) return MatchStats();
    if (oldFile.size <= CHAIN_INDEX_LIMIT) return findCopiesDense(oldFile, newFile, writer);
    return findCopiesSparse(oldFile, newFile, writer);
}

MatchStats findCopiesSparse(const InputFile& oldFile, const InputFile& newFile, DeltaWriter& writer) {
    MatchStats stats;

    BlockIndex index;
    buildIndex(index, oldFile);

    Walk walk{oldFile, newFile};
    int64_t recent[RECENT_DIAGONALS] = {};
    int recentCount = 1;  // diagonal 0: NEW starts like OLD
    uint64_t hash = 0;
    bool hashValid = false;

    uint64_t pos = 0;
    const uint64_t newSize = newFile.size;
    while (pos + 8 <= newSize) {
        walk.reached(pos);
        int bestRecent = -1;
        Copy best = walk.onDiagonals(pos, recent, recentCount, bestRecent);
        if (pos == walk.literalStart && best.length < MIN_RESUME) {
            // Just past a break: look a little further along the diagonal
            // of the last copy before trusting the index.
            for (uint64_t ahead = pos + 1; ahead < pos + RESUME_WINDOW && ahead + 8 <= newSize; ++ahead) {
                best = walk.onDiagonals(ahead, recent, 1, bestRecent);
                if (best.length >= MIN_RESUME) break;
            }
        }
        if (best.length < MIN_RESUME) {
            best = Copy();
            bestRecent = -1;
            if (pos + BLOCK_SIZE <= newSize) {
                if (!hashValid) {
                    hash = hashBlock(newFile.data + pos);
                    hashValid = true;
                }
                uint32_t oldPos = findBlock(index, hash);
                if (oldPos != EMPTY_SLOT &&
                    load64(oldFile.data + oldPos) == load64(newFile.data + pos)) {
                    Copy c = walk.extend(pos, oldPos);
                    if (c.length >= MIN_COPY) best = c;
                }
            }
        }

        if (best.length == 0) {
            if (hashValid) {
                if (pos + BLOCK_SIZE < newSize)
                    hash = rollHash(hash, newFile.data[pos], newFile.data[pos + BLOCK_SIZE]);
                else
                    hashValid = false;
            }
            ++pos;
            continue;
        }

        addCopy(writer, best.newStart, best.oldStart, best.length);
        ++stats.copies;
        stats.copiedBytes += best.length;
        if (bestRecent >= 0) ++stats.resumed;

        // The diagonal just used moves to the front of the recent list.
        int64_t diagonal = static_cast<int64_t>(best.oldStart) - static_cast<int64_t>(best.newStart);
        int slot = bestRecent;
        if (slot < 0) {
            slot = 0;
            while (slot < recentCount && recent[slot] != diagonal) ++slot;
            if (slot == recentCount) {
                if (recentCount < RECENT_DIAGONALS) ++recentCount;
                slot = recentCount - 1;
            }
        }
        for (int r = slot; r > 0; --r) recent[r] = recent[r - 1];
        recent[0] = diagonal;

        pos = best.newStart + best.length;
        walk.literalStart = pos;
        hashValid = false;
    }
    return stats;
}

}  // namespace segdiff
