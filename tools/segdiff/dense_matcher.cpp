// The matcher for small and medium inputs. Like the one for kernel-sized
// inputs it walks NEW once, but at every position of the pending literal it
// weighs the recently used diagonals and every candidate of the chained
// index alike, by the bytes each copy covers beyond what its record will
// cost once the delta is compressed, and before it takes a copy it looks a
// few bytes further for a better one. How hard it searches and what it
// takes a record to cost depend on the size of OLD (Settings below); where
// NEW is small, the walk runs with several prices and bzip2 picks.
//
// What a record costs after bzip2 depends mostly on its skip: a record that
// stays on its diagonal or moves a few bytes (an edited, inserted or deleted
// line) has mostly zero bytes and compresses to little, one that jumps far
// into OLD carries four bytes of noise and usually a second far jump back.
// A copy must be at least as long as the price of its skip, counted in
// literal bytes, and of two copies the one that covers more bytes beyond
// its price wins.
#include <cstring>

#include "segdiff.h"
#include "walk.h"

namespace segdiff {

using namespace walk;

namespace {

constexpr int RECENT_DIAGONALS = 4;
// The length at which an index candidate is taken without looking at the
// others.
constexpr uint64_t GOOD_ENOUGH = 2048;
// Up to this size of NEW the copies are held in memory and weighed with
// bzip2 before they are written (see polishCopies). The walks with the
// several sets of prices together cover at most WEIGHED_WALK_BYTES of NEW.
constexpr uint64_t WEIGHED_NEW_LIMIT = 64ull << 20;
constexpr uint64_t WEIGHED_WALK_BYTES = 32ull << 20;

struct Prices {
    uint64_t same;   // skip 0
    uint64_t near1;  // skip fits one signed byte
    uint64_t near2;  // two bytes
    uint64_t near3;  // three bytes
    uint64_t far;    // anything else
};

struct Settings {
    uint64_t maxOldSize;    // these settings hold for OLD up to this size
    Prices prices[5];       // the first, and the others where NEW is small enough to weigh
    int priceSets;
    int depth;              // index candidates looked at per lookup, newest first
    uint64_t lazySteps;     // positions after a found copy where a better one is looked for
    uint64_t resumeWindow;  // past a break, the last diagonal picking up again
                            // within this many bytes wins over the index (0: off)
};

// Measured on a random sample of 45 pairs of Debian upstream tarballs
// (bench/README.md). Below 1 MiB the record table is a large share of the
// compressed delta and the cheaper near copies pay; above, they make more
// records than they save literal bytes. The resume window keeps large
// inputs from trading one record for two into a look-alike tar header
// elsewhere; on smaller ones it costs more than the look-ahead finds. The
// deep search would take several times as long above 16 MiB for about 1 %.
constexpr Settings SETTINGS[] = {
    {1ull << 20,
     {{10, 16, 28, 48, 80}, {12, 20, 32, 56, 96}, {8, 12, 22, 40, 64}, {6, 10, 16, 32, 48}, {16, 24, 32, 48, 80}},
     5, 256, 8, 0},
    {16ull << 20,
     {{16, 24, 32, 48, 80}, {12, 20, 32, 56, 96}, {10, 16, 28, 48, 80}, {8, 12, 22, 40, 64}, {24, 32, 48, 64, 96}},
     5, 256, 8, 0},
    {CHAIN_INDEX_LIMIT, {{16, 24, 32, 48, 80}}, 1, 48, 8, 24},
};

const Settings& settingsFor(uint64_t oldSize) {
    for (const Settings& s : SETTINGS)
        if (oldSize <= s.maxOldSize) return s;
    return SETTINGS[sizeof SETTINGS / sizeof SETTINGS[0] - 1];
}

uint64_t priceOf(const Prices& prices, int64_t skip) {
    if (skip == 0) return prices.same;
    if (skip >= -128 && skip < 128) return prices.near1;
    if (skip >= -32768 && skip < 32768) return prices.near2;
    if (skip >= -(int64_t{1} << 23) && skip < (int64_t{1} << 23)) return prices.near3;
    return prices.far;
}

struct Candidate {
    Copy copy;
    int64_t score = 0;  // bytes covered beyond the price; taken when >= 0
    int recent = -1;    // which recent diagonal it lies on, or -1
    bool found() const { return copy.length > 0; }
};

struct DenseWalk {
    Walk walk;
    const ChainIndex& index;
    const Prices& prices;
    const int depth;
    int64_t recent[RECENT_DIAGONALS] = {};
    int recentCount = 1;
    uint64_t readPos = 0;  // OLD position after the last copy taken

    void consider(Candidate& best, const Copy& c, int recentSlot) {
        if (c.length == 0) return;
        int64_t skip = static_cast<int64_t>(c.oldStart) - static_cast<int64_t>(readPos);
        int64_t score = static_cast<int64_t>(c.length) - static_cast<int64_t>(priceOf(prices, skip));
        if (!best.found() || score > best.score) {
            best.copy = c;
            best.score = score;
            best.recent = recentSlot;
        }
    }

    // The best copy through NEW position pos, from the recent diagonals and
    // from the index.
    Candidate bestAt(uint64_t pos) {
        Candidate best;
        const uint8_t* here = walk.newFile.data + pos;
        const uint64_t word = load64(here);
        const uint64_t oldSize = walk.oldFile.size;
        for (int r = 0; r < recentCount; ++r) {
            int64_t oldPos = static_cast<int64_t>(pos) + recent[r];
            if (oldPos < 0 || static_cast<uint64_t>(oldPos) + 8 > oldSize) continue;
            if (load64(walk.oldFile.data + oldPos) != word) continue;
            consider(best, walk.extend(pos, static_cast<uint64_t>(oldPos)), r);
        }
        if (pos + CHAIN_KEY > walk.newFile.size) return best;
        uint32_t entry = index.heads[chainSlot(index, here)];
        for (int n = 0; entry != 0 && n < depth; ++n, entry = index.links[entry - 1]) {
            uint64_t oldPos = static_cast<uint64_t>(entry - 1) * index.step;
            if (load64(walk.oldFile.data + oldPos) != word ||
                load64(walk.oldFile.data + oldPos + 8) != load64(here + 8))
                continue;
            Copy c = walk.extend(pos, oldPos);
            consider(best, c, -1);
            if (c.length >= GOOD_ENOUGH) break;
        }
        return best;
    }

    void take(const Candidate& chosen) {
        const Copy& c = chosen.copy;
        int64_t diagonal = static_cast<int64_t>(c.oldStart) - static_cast<int64_t>(c.newStart);
        int slot = chosen.recent;
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
        readPos = c.oldStart + c.length;
    }
};

// One walk over NEW with one set of prices; every copy found goes to sink.
template <class Sink>
void walkNew(const InputFile& oldFile, const InputFile& newFile, const ChainIndex& index,
             const Settings& settings, const Prices& prices, MatchStats& stats, Sink&& sink) {
    DenseWalk dw{Walk{oldFile, newFile}, index, prices, settings.depth};
    uint64_t pos = 0;
    const uint64_t newSize = newFile.size;
    while (pos + 8 <= newSize) {
        dw.walk.reached(pos);
        Candidate best;
        if (pos == dw.walk.literalStart) {
            for (uint64_t ahead = pos + 1; ahead < pos + settings.resumeWindow && ahead + 8 <= newSize; ++ahead) {
                int64_t oldPos = static_cast<int64_t>(ahead) + dw.recent[0];
                if (oldPos < 0 || static_cast<uint64_t>(oldPos) + 8 > oldFile.size) continue;
                if (load64(oldFile.data + oldPos) != load64(newFile.data + ahead)) continue;
                Candidate c;
                dw.consider(c, dw.walk.extend(ahead, static_cast<uint64_t>(oldPos)), 0);
                if (c.found() && c.score >= 0) {
                    best = c;
                    break;
                }
            }
        }
        if (!best.found()) {
            best = dw.bestAt(pos);
            if (best.found() && best.score >= 0) {
                for (uint64_t k = 1; k <= settings.lazySteps && pos + k + 8 <= newSize; ++k) {
                    Candidate later = dw.bestAt(pos + k);
                    if (later.found() && later.score > best.score) best = later;
                }
            }
        }
        if (!best.found() || best.score < 0) {
            ++pos;
            continue;
        }
        const Copy& c = best.copy;
        sink(c);
        if (best.recent >= 0) ++stats.resumed;
        dw.take(best);
        pos = c.newStart + c.length;
        dw.walk.literalStart = pos;
    }
}

}  // namespace

MatchStats findCopiesDense(const InputFile& oldFile, const InputFile& newFile, DeltaWriter& writer) {
    MatchStats stats;
    ChainIndex index;
    buildChainIndex(index, oldFile, chainStepFor(oldFile.size));
    const Settings& settings = settingsFor(oldFile.size);
    auto emit = [&](const Copy& c) {
        addCopy(writer, c.newStart, c.oldStart, c.length);
        ++stats.copies;
        stats.copiedBytes += c.length;
    };
    if (newFile.size > WEIGHED_NEW_LIMIT) {
        walkNew(oldFile, newFile, index, settings, settings.prices[0], stats, emit);
        return stats;
    }
    // A NEW this small makes a delta that is quick to compress: each set of
    // prices the budget allows makes its delta (the sets in the order they
    // won most often on the sample), and the one that is smallest after
    // bzip2 -9 is kept and polished.
    int sets = static_cast<int>(WEIGHED_WALK_BYTES / (newFile.size + 1));
    if (sets > settings.priceSets) sets = settings.priceSets;
    if (sets < 1) sets = 1;
    std::vector<Copy> best;
    uint64_t bestSize = 0, firstRaw = 0;
    for (int k = 0; k < sets; ++k) {
        std::vector<Copy> copies;
        MatchStats walked;
        walkNew(oldFile, newFile, index, settings, settings.prices[k], walked,
                [&](const Copy& c) { copies.push_back(c); });
        uint64_t raw = rawDeltaSize(copies, newFile);
        if (k == 0) firstRaw = raw;
        if (k > 0 && raw > firstRaw + firstRaw / RAW_GROWTH_SHARE) continue;
        uint64_t size = sets > 1 ? compressedDeltaSize(copies, oldFile, newFile) : 0;
        if (k == 0 || size < bestSize) {
            best.swap(copies);
            bestSize = size;
            stats.resumed = walked.resumed;
        }
    }
    polishCopies(best, oldFile, newFile);
    for (const Copy& c : best) emit(c);
    return stats;
}

}  // namespace segdiff
