// Search order of the encoder settings. The order only decides how soon the
// right setting is met: every distinct setting is in the list.
#include <set>
#include <utility>

#include "gzip/gzip.h"

namespace {

const int MEM_LEVEL_ORDER[] = {8, 9, 7, 6, 5, 4, 3, 2, 1};
const int WINDOW_BITS_ORDER[] = {15, 14, 13, 12, 11, 10, 9};
// Z_DEFAULT_STRATEGY, Z_FILTERED, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE
const int STRATEGY_ORDER[] = {0, 1, 4, 2, 3};
const int PIGZ_BLOCK_ORDER[] = {128, 64, 256, 512, 1024, 32, 2048, 4096};


// Huffman-only and RLE ignore the level's match settings: one level stands
// for all.
bool anyLevelWillDo(int strategy) { return strategy == 2 || strategy == 3; }
// Z_FILTERED only changes the lazy matcher of levels 4-9; below that it
// makes what the default strategy makes.
bool sameAsDefault(int strategy, int level) { return strategy == 1 && level < 4; }

}  // namespace

std::vector<int> levelOrder(const GzipHeaderHints& hints) {
    if (hints.xfl == 2) return {9, 6, 8, 7, 5, 4, 3, 2, 1};
    if (hints.xfl == 4) return {1, 6, 9, 2, 3, 4, 5, 7, 8};
    return {6, 9, 5, 7, 8, 4, 3, 2, 1};
}

std::vector<ZlibSettings> zlibCandidates(const GzipHeaderHints& hints) {
    std::vector<int> levels = levelOrder(hints);
    std::vector<ZlibSettings> out;
    const int memCount = sizeof MEM_LEVEL_ORDER / sizeof *MEM_LEVEL_ORDER;
    const int bitsCount = sizeof WINDOW_BITS_ORDER / sizeof *WINDOW_BITS_ORDER;
    for (int strategy : STRATEGY_ORDER) {
        // Settings nearer the defaults (memLevel 8, window bits 15) first.
        for (int distance = 0; distance <= memCount + bitsCount - 2; ++distance) {
            for (int m = 0; m < memCount; ++m) {
                int w = distance - m;
                if (w < 0 || w >= bitsCount) continue;
                for (int level : levels) {
                    if (sameAsDefault(strategy, level)) continue;
                    out.push_back({level, MEM_LEVEL_ORDER[m], strategy, WINDOW_BITS_ORDER[w]});
                    if (anyLevelWillDo(strategy)) break;
                }
            }
        }
    }
    return out;
}

std::vector<PigzSettings> pigzCandidates(const GzipHeaderHints& hints) {
    std::vector<PigzSettings> out;
    for (int mode = 0; mode < 3; ++mode) {
        for (int block : PIGZ_BLOCK_ORDER) {
            for (int level : levelOrder(hints))
                out.push_back({level, block, mode == 1, mode == 2});
        }
    }
    return out;
}

std::vector<ZlibSettings> zlibCandidates(const GzipHeaderHints& hints,
                                         const DeflateEvidence& e) {
    std::vector<ZlibSettings> out;
    for (const ZlibSettings& s : zlibCandidates(hints)) {
        if (e.memLevel != 0 && s.memLevel != e.memLevel) continue;
        if (s.memLevel < e.minMemLevel || s.windowBits < e.minWindowBits) continue;
        if (e.farMatches && (s.strategy == 2 || s.strategy == 3)) continue;
        if (e.dynamicBlocks && s.strategy == 4) continue;
        out.push_back(s);
    }
    return out;
}

std::vector<PigzSettings> pigzCandidates(const GzipHeaderHints& hints,
                                         const DeflateEvidence& e) {
    std::vector<PigzSettings> out;
    std::set<std::pair<int, int>> covered;  // (level, mode) with a block holding all input
    for (const PigzSettings& s : pigzCandidates(hints)) {
        uint64_t block = static_cast<uint64_t>(s.blockKiB) * 1024;
        if (e.complete && e.scannedBytes <= block) {
            // Every block size that holds the whole input makes the same data.
            int mode = s.independent ? 1 : s.rsyncable ? 2 : 0;
            if (!covered.insert({s.level, mode}).second) continue;
        }
        out.push_back(s);
    }
    return out;
}
