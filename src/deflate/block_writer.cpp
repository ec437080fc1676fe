// Writes one deflate block exactly as its description says.
#include "deflate/internal.h"

namespace recon {

bool writeBlock(BitWriter& w, const BlockHead& head, const std::vector<uint32_t>& tokens,
                Window& win, int64_t storedPos) {
    w.put(head.final ? 1 : 0, 1);
    w.put(static_cast<uint32_t>(head.type), 2);
    if (head.type == 0) {
        int pad = static_cast<int>((8 - w.bitPosition() % 8) % 8);
        w.put(head.padValue, pad);
        w.put(head.storedLength, 16);
        w.put(head.storedLength ^ 0xFFFF, 16);
        int64_t end = storedPos + head.storedLength;
        if (win.require(storedPos, end) != end) return false;
        w.putBytes(win.at(storedPos), head.storedLength);
        return !w.error();
    }
    uint8_t lit[288], dist[30];
    if (head.type == 1) {
        fixedLengths(lit, dist);
    } else {
        w.put(static_cast<uint32_t>(head.hlit - 257), 5);
        w.put(static_cast<uint32_t>(head.hdist - 1), 5);
        w.put(static_cast<uint32_t>(head.hclen - 4), 4);
        for (int i = 0; i < head.hclen; ++i) w.put(head.clen[CLEN_ORDER[i]], 3);
        uint16_t cc[CLEN_CODES];
        canonicalCodes(head.clen, CLEN_CODES, cc);
        static const int EXTRA_BITS[3] = {2, 3, 7};
        for (uint16_t e : head.rle) {
            int sym = e & 31;
            w.put(cc[sym], head.clen[sym]);
            if (sym >= 16) w.put(e >> 5, EXTRA_BITS[sym - 16]);
        }
        memcpy(lit, head.litLen, LITLEN_CODES);
        lit[286] = lit[287] = 0;
        memcpy(dist, head.distLen, DIST_CODES);
    }
    uint16_t lc[288], dc[30];
    canonicalCodes(lit, 288, lc);
    canonicalCodes(dist, 30, dc);
    for (uint32_t t : tokens) {
        if (!isMatch(t)) {
            w.put(lc[t], lit[t]);
            continue;
        }
        uint32_t len = tokenLength(t), d = tokenDistance(t);
        int c = lengthCode(len);
        w.put(lc[257 + c], lit[257 + c]);
        w.put(len - LENGTH_BASE[c], LENGTH_EXTRA[c]);
        int k = distanceCode(d);
        w.put(dc[k], dist[k]);
        w.put(d - DIST_BASE[k], DIST_EXTRA[k]);
    }
    w.put(lc[256], lit[256]);
    return !w.error();
}

}  // namespace recon
