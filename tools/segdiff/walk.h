// The walk over NEW that both matchers share: the pieces of NEW kept in
// memory, and the extension of a hit into a copy. Private to the matchers.
#pragma once

#include <cstring>
#include <vector>

#include "segdiff.h"

namespace segdiff {
namespace walk {

// Pages of NEW further back than this are dropped from memory as the walk
// goes on, also in the middle of a long copy.
constexpr uint64_t KEEP_BEHIND = 16ull << 20;

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Length of the common prefix of a and b, at most limit.
inline uint64_t matchForward(const uint8_t* a, const uint8_t* b, uint64_t limit) {
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
inline uint64_t matchBackward(const uint8_t* a, const uint8_t* b, uint64_t limit) {
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


}  // namespace walk

// The matcher for kernel-sized inputs, over the block index.
MatchStats findCopiesSparse(const InputFile& oldFile, const InputFile& newFile, DeltaWriter& writer);
// Deltas up to this size (uncompressed) get the last pass below; its trial
// compressions together may take this many bytes of input.
constexpr uint64_t POLISH_DELTA_LIMIT = 256u << 10;
constexpr uint64_t POLISH_BUDGET = 4u << 20;
// The weighing may choose a delta larger as written than the first one it
// found (but smaller after bzip2) by at most 1/RAW_GROWTH_SHARE of that.
constexpr uint64_t RAW_GROWTH_SHARE = 32;
// Turns into literal bytes those copies (in NEW order) that make the delta
// larger after bzip2 -9 than their bytes would as literals. Leaves the copies
// alone when the delta they make is larger than POLISH_DELTA_LIMIT.
void polishCopies(std::vector<walk::Copy>& copies, const InputFile& oldFile, const InputFile& newFile);
// The size of the delta these copies make, as written and after bzip2 -9.
uint64_t rawDeltaSize(const std::vector<walk::Copy>& copies, const InputFile& newFile);
uint64_t compressedDeltaSize(const std::vector<walk::Copy>& copies, const InputFile& oldFile,
                             const InputFile& newFile);

// The matcher for inputs up to CHAIN_INDEX_LIMIT, over the chained index.
MatchStats findCopiesDense(const InputFile& oldFile, const InputFile& newFile, DeltaWriter& writer);
}  // namespace segdiff
