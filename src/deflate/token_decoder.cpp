// The token decoder: reads a raw deflate stream into blocks as transmitted
// (types, final bits, padding, the dynamic header's every field) and tokens.
#include "deflate/internal.h"

namespace recon {

namespace {

struct Huff {
    uint16_t table[512];  // next 9 bits -> symbol << 4 | length, 0: longer code
    uint16_t cnt[16];
    uint16_t sorted[288];
};

bool buildHuff(Huff& h, const uint8_t* lengths, int n) {
    if (!lengthsValid(lengths, n)) return false;
    memset(h.table, 0, sizeof h.table);
    memset(h.cnt, 0, sizeof h.cnt);
    for (int i = 0; i < n; ++i) h.cnt[lengths[i]]++;
    h.cnt[0] = 0;
    uint16_t offs[16];
    offs[1] = 0;
    for (int b = 1; b < 15; ++b) offs[b + 1] = static_cast<uint16_t>(offs[b] + h.cnt[b]);
    for (int i = 0; i < n; ++i)
        if (lengths[i]) h.sorted[offs[lengths[i]]++] = static_cast<uint16_t>(i);
    uint16_t codes[288];
    canonicalCodes(lengths, n, codes);
    for (int i = 0; i < n; ++i) {
        int l = lengths[i];
        if (l == 0 || l > 9) continue;
        for (int k = codes[i]; k < 512; k += 1 << l) h.table[k] = static_cast<uint16_t>(i << 4 | l);
    }
    return true;
}

// The next symbol, or -1 when the stream ends or holds an unassigned code.
int decodeSymbol(BitReader& br, const Huff& h) {
    br.fill(9);
    uint16_t e = h.table[br.peek(9)];
    if (e && (e & 15) <= br.available()) {
        br.drop(e & 15);
        return e >> 4;
    }
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 15; ++len) {
        uint32_t b;
        if (!br.bits(1, b)) return -1;
        code |= static_cast<int>(b);
        int count = h.cnt[len];
        if (code - first < count) return h.sorted[index + code - first];
        index += count;
        first += count;
        first <<= 1;
        code <<= 1;
    }
    return -1;
}

}  // namespace

Result Decoder::readDynamicHeader(BlockHead& head) {
    uint32_t v;
    if (!bits_.bits(5, v)) return Result::BadStream;
    head.hlit = static_cast<int>(v) + 257;
    if (!bits_.bits(5, v)) return Result::BadStream;
    head.hdist = static_cast<int>(v) + 1;
    if (!bits_.bits(4, v)) return Result::BadStream;
    head.hclen = static_cast<int>(v) + 4;
    if (head.hlit > LITLEN_CODES || head.hdist > DIST_CODES) return Result::BadStream;
    memset(head.clen, 0, sizeof head.clen);
    for (int i = 0; i < head.hclen; ++i) {
        if (!bits_.bits(3, v)) return Result::BadStream;
        head.clen[CLEN_ORDER[i]] = static_cast<uint8_t>(v);
    }
    Huff ch;
    if (!buildHuff(ch, head.clen, CLEN_CODES)) return Result::BadStream;
    int total = head.hlit + head.hdist, n = 0;
    head.rle.clear();
    while (n < total) {
        int sym = decodeSymbol(bits_, ch);
        if (sym < 0) return Result::BadStream;
        uint32_t extra = 0;
        int rep = 1;
        if (sym == 16) {
            if (n == 0 || !bits_.bits(2, extra)) return Result::BadStream;
            rep = 3 + static_cast<int>(extra);
        } else if (sym == 17) {
            if (!bits_.bits(3, extra)) return Result::BadStream;
            rep = 3 + static_cast<int>(extra);
        } else if (sym == 18) {
            if (!bits_.bits(7, extra)) return Result::BadStream;
            rep = 11 + static_cast<int>(extra);
        }
        head.rle.push_back(static_cast<uint16_t>(sym | extra << 5));
        n += rep;
    }
    uint8_t all[LITLEN_CODES + DIST_CODES];
    if (!expandRle(head.rle, total, all)) return Result::BadStream;
    memset(head.litLen, 0, sizeof head.litLen);
    memset(head.distLen, 0, sizeof head.distLen);
    memcpy(head.litLen, all, static_cast<size_t>(head.hlit));
    memcpy(head.distLen, all + head.hlit, static_cast<size_t>(head.hdist));
    if (head.litLen[256] == 0) return Result::BadStream;
    return Result::Ok;
}

Result Decoder::readBlock(BlockHead& head, std::vector<uint32_t>& tokens, size_t cap, int64_t pos) {
    tokens.clear();
    uint32_t v;
    if (!bits_.bits(1, v)) return in_.error() ? Result::IoError : Result::BadStream;
    head.final = v;
    if (!bits_.bits(2, v)) return Result::BadStream;
    head.type = static_cast<int>(v);
    if (head.type == 3) return Result::BadStream;
    if (head.type == 0) {
        int pad = static_cast<int>((8 - bits_.consumedBits() % 8) % 8);
        uint32_t len, nlen;
        if (!bits_.bits(pad, head.padValue) || !bits_.bits(16, len) || !bits_.bits(16, nlen))
            return Result::BadStream;
        if ((len ^ 0xFFFF) != nlen) return Result::BadStream;
        head.storedLength = len;
        return Result::Ok;
    }
    uint8_t lit[288], dist[30];
    if (head.type == 1) {
        fixedLengths(lit, dist);
    } else {
        Result r = readDynamicHeader(head);
        if (r != Result::Ok) return r;
        memcpy(lit, head.litLen, LITLEN_CODES);
        lit[286] = lit[287] = 0;
        memcpy(dist, head.distLen, DIST_CODES);
    }
    Huff lh, dh;
    if (!buildHuff(lh, lit, 288) || !buildHuff(dh, dist, 30)) return Result::BadStream;
    for (;;) {
        int sym = decodeSymbol(bits_, lh);
        if (sym < 0) return Result::BadStream;
        if (sym < 256) {
            tokens.push_back(static_cast<uint32_t>(sym));
            ++pos;
        } else if (sym == 256) {
            return Result::Ok;
        } else {
            int c = sym - 257;
            if (c >= 29) return Result::BadStream;
            uint32_t extra = 0;
            if (!bits_.bits(LENGTH_EXTRA[c], extra)) return Result::BadStream;
            uint32_t len = LENGTH_BASE[c] + extra;
            if (len > 258 || (c == 27 && len == 258)) return Result::BadStream;
            int dc = decodeSymbol(bits_, dh);
            if (dc < 0 || dc >= 30) return Result::BadStream;
            if (!bits_.bits(DIST_EXTRA[dc], extra)) return Result::BadStream;
            uint32_t d = DIST_BASE[dc] + extra;
            if (static_cast<int64_t>(d) > pos) return Result::BadStream;
            tokens.push_back(makeMatch(len, d & 0xFFFF));
            pos += len;
        }
        if (tokens.size() > cap) return Result::TooLarge;
    }
}

bool Decoder::storedBytes(uint8_t* dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t v;
        if (!bits_.bits(8, v)) return false;
        dst[i] = static_cast<uint8_t>(v);
    }
    return true;
}

}  // namespace recon
