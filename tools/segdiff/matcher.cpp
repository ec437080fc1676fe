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

namespace segdiff {

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

// Pages of NEW further back than this are dropped from memory as the walk
// goes on, also in the middle of a long copy.
constexpr uint64_t KEEP_BEHIND = 16ull << 20;

uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Length of the common prefix of a and b, at most limit.
uint64_t matchForward(const uint8_t* a, const uint8_t* b, uint64_t limit) {
    uint64_t n = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (n + 8 <= limit) {
        uint64_t diff = load64(a + n) ^ load64(b + n);
        if (diff != 0) return n + static_cast<uint64_t>(__builtin_ctzll(diff)) / 8;
        n += 8;
    }
#endif
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

// Length of the common suffix of the bytes before a and before b, at most limit.
uint64_t matchBackward(const uint8_t* a, const uint8_t* b, uint64_t limit) {
    uint64_t n = 0;
    while (n < limit && a[-1 - static_cast<int64_t>(n)] == b[-1 - static_cast<int64_t>(n)]) ++n;
    return n;
}

struct Copy {
    uint64_t newStart = 0;
    uint64_t oldStart = 0;
    uint64_t length = 0;
};

struct Walk {
    const InputFile& oldFile;
    const InputFile& newFile;
    uint64_t literalStart = 0;  // first NEW byte not yet covered by a copy
    uint64_t released = 0;      // NEW pages before this were let go

    // Called with every NEW position the walk reaches.
    void reached(uint64_t pos) {
        if (pos - released > 2 * KEEP_BEHIND) {
            releaseRange(newFile, released, pos - KEEP_BEHIND);
            released = pos - KEEP_BEHIND;
        }
    }

    // matchForward in pieces, so that a copy of hundreds of megabytes does
    // not keep all of them in memory.
    uint64_t forward(uint64_t pos, uint64_t oldPos, uint64_t limit) {
        uint64_t n = 0;
        while (n < limit) {
            uint64_t piece = limit - n < KEEP_BEHIND ? limit - n : KEEP_BEHIND;
            uint64_t m = matchForward(newFile.data + pos + n, oldFile.data + oldPos + n, piece);
            n += m;
            if (m < piece) break;
            reached(pos + n);
        }
        return n;
    }

    // The copy through NEW position pos and OLD position oldPos, extended
    // both ways; empty when the bytes there differ.
    Copy extend(uint64_t pos, uint64_t oldPos) {
        Copy c;
        uint64_t ahead = newFile.size - pos, oldAhead = oldFile.size - oldPos;
        uint64_t fwd = forward(pos, oldPos, ahead < oldAhead ? ahead : oldAhead);
        if (fwd == 0) return c;
        uint64_t behind = pos - literalStart;
        uint64_t back = matchBackward(newFile.data + pos, oldFile.data + oldPos, behind < oldPos ? behind : oldPos);
        c.newStart = pos - back;
        c.oldStart = oldPos - back;
        c.length = back + fwd;
        return c;
    }

    // The longest copy through NEW position pos on one of the diagonals;
    // which one it was goes to `which` (-1 when none matches 8 bytes there).
    Copy onDiagonals(uint64_t pos, const int64_t* diagonals, int count, int& which) {
        Copy best;
        which = -1;
        const uint64_t word = load64(newFile.data + pos);
        for (int r = 0; r < count; ++r) {
            int64_t oldPos = static_cast<int64_t>(pos) + diagonals[r];
            if (oldPos < 0 || static_cast<uint64_t>(oldPos) + 8 > oldFile.size) continue;
            if (load64(oldFile.data + oldPos) != word) continue;
            Copy c = extend(pos, static_cast<uint64_t>(oldPos));
            if (c.length > best.length) {
                best = c;
                which = r;
            }
        }
        return best;
    }
};

}  // namespace

MatchStats findCopies(const InputFile& oldFile, const InputFile& newFile, DeltaWriter& writer) {
    MatchStats stats;
    if (oldFile.size < 8 || newFile.size < 8) return stats;

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
