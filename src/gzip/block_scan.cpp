// A reader of deflate block structure: decodes the first blocks of a raw
// deflate stream far enough to count their symbols and distances, which
// rule encoder settings in or out before any candidate is run.
#include <cstdio>
#include <vector>

#include "gzip/gzip.h"

namespace {

struct BitReader {
    FILE* f;
    uint64_t remaining;  // bytes of the stream not yet taken
    uint32_t bits = 0;
    int count = 0;
    bool failed = false;

    int bit() {
        if (count == 0) {
            int c = remaining > 0 ? getc(f) : EOF;
            if (c == EOF) {
                failed = true;
                return 0;
            }
            --remaining;
            bits = static_cast<uint32_t>(c);
            count = 8;
        }
        int b = bits & 1;
        bits >>= 1;
        --count;
        return b;
    }
    uint32_t take(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(bit()) << i;
        return v;
    }
    void align() { count = 0; }
};

// Canonical Huffman code, decoded bit by bit (counts per length, symbols by
// code order).
struct Huffman {
    int counts[16] = {};
    std::vector<int> symbols;

    bool build(const std::vector<int>& lengths) {
        for (int& c : counts) c = 0;
        for (int l : lengths) ++counts[l];
        counts[0] = 0;
        int offsets[16] = {};
        for (int l = 1; l < 16; ++l) offsets[l] = offsets[l - 1] + counts[l - 1];
        symbols.assign(lengths.size(), 0);
        for (size_t s = 0; s < lengths.size(); ++s) {
            if (lengths[s]) symbols[offsets[lengths[s]]++] = static_cast<int>(s);
        }
        return true;
    }
    int decode(BitReader& in) const {
        int code = 0, first = 0, index = 0;
        for (int l = 1; l < 16; ++l) {
            code |= in.bit();
            if (in.failed) return -1;
            int c = counts[l];
            if (code - first < c) return symbols[static_cast<size_t>(index + code - first)];
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        return -1;
    }
};

const int LENGTH_BASE[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int LENGTH_EXTRA[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                            2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int DIST_BASE[] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,   97,    129,
                         193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int DIST_EXTRA[] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                          6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

bool readDynamicCodes(BitReader& in, Huffman& lit, Huffman& dist) {
    int hlit = static_cast<int>(in.take(5)) + 257, hdist = static_cast<int>(in.take(5)) + 1,
        hclen = static_cast<int>(in.take(4)) + 4;
    static const int ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<int> codeLengths(19, 0);
    for (int i = 0; i < hclen; ++i) codeLengths[ORDER[i]] = static_cast<int>(in.take(3));
    Huffman lengthCode;
    lengthCode.build(codeLengths);
    std::vector<int> lengths;
    while (!in.failed && static_cast<int>(lengths.size()) < hlit + hdist) {
        int sym = lengthCode.decode(in);
        if (sym < 0) return false;
        if (sym < 16) {
            lengths.push_back(sym);
        } else {
            int repeat, value = 0;
            if (sym == 16) {
                if (lengths.empty()) return false;
                value = lengths.back();
                repeat = 3 + static_cast<int>(in.take(2));
            } else if (sym == 17) {
                repeat = 3 + static_cast<int>(in.take(3));
            } else {
                repeat = 11 + static_cast<int>(in.take(7));
            }
            lengths.insert(lengths.end(), static_cast<size_t>(repeat), value);
        }
    }
    if (in.failed || static_cast<int>(lengths.size()) != hlit + hdist) return false;
    lit.build(std::vector<int>(lengths.begin(), lengths.begin() + hlit));
    dist.build(std::vector<int>(lengths.begin() + hlit, lengths.end()));
    return true;
}

void fixedCodes(Huffman& lit, Huffman& dist) {
    std::vector<int> l(288);
    for (int i = 0; i < 288; ++i) l[static_cast<size_t>(i)] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    lit.build(l);
    dist.build(std::vector<int>(30, 5));
}

// Decodes one compressed block's symbols; false on a damaged block.
bool scanSymbols(BitReader& in, const Huffman& lit, const Huffman& dist, DeflateBlock& block) {
    for (;;) {
        int sym = lit.decode(in);
        if (sym < 0 || sym > 285) return false;
        if (sym == 256) return true;
        ++block.symbols;
        if (sym < 256) {
            ++block.uncompressed;
            continue;
        }
        int length = LENGTH_BASE[sym - 257] + static_cast<int>(in.take(LENGTH_EXTRA[sym - 257]));
        int d = dist.decode(in);
        if (d < 0 || d > 29) return false;
        int distance = DIST_BASE[d] + static_cast<int>(in.take(DIST_EXTRA[d]));
        if (in.failed) return false;
        ++block.matches;
        if (distance > block.maxDistance) block.maxDistance = distance;
        block.uncompressed += static_cast<uint64_t>(length);
    }
}

}  // namespace

bool scanDeflateBlocks(const std::string& path, uint64_t offset, uint64_t length,
                       size_t maxBlocks, std::vector<DeflateBlock>& blocks) {
    blocks.clear();
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    BitReader in{f, length};
    bool ok = fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
    uint64_t position = 0;
    while (ok && blocks.size() < maxBlocks) {
        DeflateBlock block;
        block.start = position;
        block.final = in.bit() != 0;
        block.type = static_cast<int>(in.take(2));
        if (in.failed || block.type == 3) {
            ok = false;
            break;
        }
        if (block.type == 0) {
            in.align();
            uint32_t len = in.take(16), nlen = in.take(16);
            if (in.failed || (len ^ 0xFFFF) != nlen || len > in.remaining) {
                ok = false;
                break;
            }
            ok = fseeko(f, static_cast<off_t>(len), SEEK_CUR) == 0;
            in.remaining -= len;
            block.uncompressed = len;
        } else {
            Huffman lit, dist;
            if (block.type == 1)
                fixedCodes(lit, dist);
            else
                ok = readDynamicCodes(in, lit, dist);
            ok = ok && scanSymbols(in, lit, dist, block);
        }
        if (!ok) break;
        position += block.uncompressed;
        blocks.push_back(block);
        if (block.final) break;
    }
    fclose(f);
    return ok;
}

DeflateEvidence deflateEvidence(const std::vector<DeflateBlock>& blocks, bool reachedEnd) {
    DeflateEvidence e;
    e.complete = reachedEnd;
    for (const DeflateBlock& b : blocks) {
        e.scannedBytes = b.start + b.uncompressed;
        if (b.type == 0) {
            if (b.uncompressed == 0 && e.firstFlush == 0) e.firstFlush = b.start;
            continue;
        }
        if (b.type == 2) e.dynamicBlocks = true;
        if (b.matches > 0) e.farMatches = e.farMatches || b.maxDistance > 1;
        while (e.minWindowBits < 15 && (1 << e.minWindowBits) - 262 < b.maxDistance)
            ++e.minWindowBits;
        // zlib ends a block that is not the last when its symbol buffer
        // holds 2^(memLevel + 6) - 1 symbols; no block holds more.
        while (e.minMemLevel < 9 && (1u << (e.minMemLevel + 6)) - 1 < b.symbols) ++e.minMemLevel;
        if (!b.final && e.memLevel == 0 && b.symbols > 0) {
            e.memLevel = -1;  // no zlib memLevel unless the count fits one
            for (int m = 1; m <= 9; ++m) {
                if (b.symbols == (1u << (m + 6)) - 1) e.memLevel = m;
            }
        }
    }
    return e;
}
