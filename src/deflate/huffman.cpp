// Code tables: the deflate symbol tables, the model's code lengths from
// symbol counts, run-length codes for code lengths, canonical codes.
#include <algorithm>

#include "deflate/internal.h"

namespace recon {

const uint8_t CLEN_ORDER[CLEN_CODES] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                        11, 4, 12, 3, 13, 2, 14, 1, 15};
const uint16_t LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t DIST_BASE[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

namespace {
struct CodeTables {
    uint8_t lenCode[259];
    uint8_t distLow[512];   // distance - 1 < 512
    uint8_t distHigh[256];  // (distance - 1) >> 7
    CodeTables() {
        for (int c = 0; c < 29; ++c) {
            int top = c == 28 ? 258 : (c == 27 ? 257 : LENGTH_BASE[c + 1] - 1);
            for (int l = LENGTH_BASE[c]; l <= top; ++l) lenCode[l] = static_cast<uint8_t>(c);
        }
        for (int c = 0; c < 30; ++c) {
            uint32_t lo = DIST_BASE[c], hi = lo + (1u << DIST_EXTRA[c]) - 1;
            for (uint32_t d = lo; d <= hi; ++d) {
                if (d - 1 < 512) distLow[d - 1] = static_cast<uint8_t>(c);
                distHigh[(d - 1) >> 7] = static_cast<uint8_t>(c);
            }
        }
    }
};
const CodeTables tables;
}  // namespace

int lengthCode(uint32_t len) { return tables.lenCode[len]; }
int distanceCode(uint32_t dist) {
    return dist - 1 < 512 ? tables.distLow[dist - 1] : tables.distHigh[(dist - 1) >> 7];
}

void buildLengths(const uint32_t* freqIn, int count, int maxBits, uint8_t* lengths) {
    // Nodes 0..count-1 are symbols, count.. are inner nodes.
    constexpr int HEAP = 2 * LITLEN_CODES + 1;
    uint32_t freq[HEAP];
    uint8_t depth[HEAP];
    int dad[HEAP];
    int len[HEAP];
    int heap[HEAP];
    int heapLen = 0, heapMax = HEAP, maxCode = -1;
    for (int n = 0; n < count; ++n) {
        freq[n] = freqIn[n];
        lengths[n] = 0;
        if (freq[n]) { heap[++heapLen] = maxCode = n; depth[n] = 0; }
    }
    while (heapLen < 2) {
        int node = heap[++heapLen] = maxCode < 2 ? ++maxCode : 0;
        freq[node] = 1;
        depth[node] = 0;
    }
    auto smaller = [&](int a, int b) {
        return freq[a] < freq[b] || (freq[a] == freq[b] && depth[a] <= depth[b]);
    };
    auto down = [&](int k) {
        int v = heap[k];
        int j = k << 1;
        while (j <= heapLen) {
            if (j < heapLen && smaller(heap[j + 1], heap[j])) ++j;
            if (smaller(v, heap[j])) break;
            heap[k] = heap[j];
            k = j;
            j <<= 1;
        }
        heap[k] = v;
    };
    for (int n = heapLen / 2; n >= 1; --n) down(n);
    int node = count;
    do {
        int n = heap[1];
        heap[1] = heap[heapLen--];
        down(1);
        int m = heap[1];
        heap[--heapMax] = n;
        heap[--heapMax] = m;
        freq[node] = freq[n] + freq[m];
        depth[node] = static_cast<uint8_t>(std::max(depth[n], depth[m]) + 1);
        dad[n] = dad[m] = node;
        heap[1] = node++;
        down(1);
    } while (heapLen >= 2);
    heap[--heapMax] = heap[1];

    int blCount[16] = {};
    len[heap[heapMax]] = 0;
    int overflow = 0;
    for (int h = heapMax + 1; h < HEAP; ++h) {
        int n = heap[h];
        int bits = len[dad[n]] + 1;
        if (bits > maxBits) { bits = maxBits; ++overflow; }
        len[n] = bits;
        if (n > maxCode) continue;
        blCount[bits]++;
    }
    if (overflow) {
        do {
            int bits = maxBits - 1;
            while (blCount[bits] == 0) --bits;
            blCount[bits]--;
            blCount[bits + 1] += 2;
            blCount[maxBits]--;
            overflow -= 2;
        } while (overflow > 0);
        int h = HEAP;
        for (int bits = maxBits; bits != 0; --bits) {
            int n = blCount[bits];
            while (n != 0) {
                int m = heap[--h];
                if (m > maxCode) continue;
                len[m] = bits;
                --n;
            }
        }
    }
    for (int n = 0; n < count; ++n) lengths[n] = freq[n] ? static_cast<uint8_t>(len[n]) : 0;
}

void appendRle(const uint8_t* lengths, int count, std::vector<uint16_t>& rle) {
    int prev = -1, next = count ? lengths[0] : 0, run = 0;
    int maxRun = 7, minRun = 4;
    if (next == 0) { maxRun = 138; minRun = 3; }
    for (int n = 0; n < count; ++n) {
        int cur = next;
        next = n + 1 < count ? lengths[n + 1] : -1;
        if (++run < maxRun && cur == next) continue;
        if (run < minRun) {
            for (int i = 0; i < run; ++i) rle.push_back(static_cast<uint16_t>(cur));
        } else if (cur != 0) {
            if (cur != prev) { rle.push_back(static_cast<uint16_t>(cur)); --run; }
            rle.push_back(static_cast<uint16_t>(16 | (run - 3) << 5));
        } else if (run <= 10) {
            rle.push_back(static_cast<uint16_t>(17 | (run - 3) << 5));
        } else {
            rle.push_back(static_cast<uint16_t>(18 | (run - 11) << 5));
        }
        run = 0;
        prev = cur;
        if (next == 0) { maxRun = 138; minRun = 3; }
        else if (cur == next) { maxRun = 6; minRun = 3; }
        else { maxRun = 7; minRun = 4; }
    }
}

bool expandRle(const std::vector<uint16_t>& rle, int total, uint8_t* out) {
    int n = 0;
    for (uint16_t e : rle) {
        int sym = e & 31, extra = e >> 5;
        int rep, value;
        if (sym < 16) { rep = 1; value = sym; }
        else if (sym == 16) { if (n == 0) return false; rep = 3 + extra; value = out[n - 1]; }
        else if (sym == 17) { rep = 3 + extra; value = 0; }
        else { rep = 11 + extra; value = 0; }
        if (n + rep > total) return false;
        for (int i = 0; i < rep; ++i) out[n++] = static_cast<uint8_t>(value);
    }
    return n == total;
}

bool lengthsValid(const uint8_t* lengths, int count) {
    int64_t left = 1;
    int cnt[16] = {};
    for (int i = 0; i < count; ++i) {
        if (lengths[i] > 15) return false;
        cnt[lengths[i]]++;
    }
    for (int b = 1; b <= 15; ++b) {
        left = left * 2 - cnt[b];
        if (left < 0) return false;
    }
    return true;
}

void canonicalCodes(const uint8_t* lengths, int count, uint16_t* codes) {
    int cnt[16] = {};
    for (int i = 0; i < count; ++i) cnt[lengths[i]]++;
    cnt[0] = 0;
    uint32_t next[16];
    uint32_t code = 0;
    for (int b = 1; b <= 15; ++b) {
        code = (code + cnt[b - 1]) << 1;
        next[b] = code;
    }
    for (int i = 0; i < count; ++i) {
        int l = lengths[i];
        if (!l) { codes[i] = 0; continue; }
        uint32_t c = next[l]++, r = 0;
        for (int k = 0; k < l; ++k) r |= ((c >> k) & 1) << (l - 1 - k);
        codes[i] = static_cast<uint16_t>(r);
    }
}

void fixedLengths(uint8_t* litLen, uint8_t* distLen) {
    for (int i = 0; i < 288; ++i) litLen[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    for (int i = 0; i < 30; ++i) distLen[i] = 5;
}

bool operator==(const BlockHead& a, const BlockHead& b) {
    return a.hlit == b.hlit && a.hdist == b.hdist && a.hclen == b.hclen &&
           memcmp(a.clen, b.clen, sizeof a.clen) == 0 && a.rle == b.rle &&
           memcmp(a.litLen, b.litLen, sizeof a.litLen) == 0 &&
           memcmp(a.distLen, b.distLen, sizeof a.distLen) == 0;
}

}  // namespace recon
