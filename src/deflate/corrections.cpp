// The correction record for one raw deflate stream, coded the same way in
// both directions: the maker passes what the published stream holds, the
// rebuild receives it. Each decision is coded against the model's prediction
// with adaptive probabilities, so predicted decisions cost almost nothing.
#include <algorithm>

#include "deflate/internal.h"

namespace recon {

struct Contexts {
    Prob stored[3], storedZero, storedSame, padZero;
    Prob countMode[2], blockLen[64];
    Prob same[2], isLit, lenSame[2], lenTree[256], distIdx[32], distCode[32];
    Prob final[2], dyn[2], minSame, minTree[4], distSame, lenShorter[256];
    Prob lensSame, litDelta[16][16], distDelta[16][16];
    Prob hlitSame, hlitTree[32], hdistSame, hdistTree[32];
    Prob rleZlib, rleJoined, rleSym[32];
    Prob clenSame, clenTree[8][8], hclenSame;
    Prob trailZero;
    uint64_t blocks = 0, tokens = 0, misses = 0, headerMisses = 0;
};

Contexts* newContexts() { return new Contexts(); }
void deleteContexts(Contexts* c) { delete c; }

namespace {

constexpr uint32_t BAD = 0xFFFFFFFFu;
constexpr int EMPTY_BLOCK_RUN = 4096;

template <class C>
uint32_t codeToken(C& c, Contexts& x, Model& model, Window& win, const Prediction& pr,
                   uint32_t actual, int64_t pos, int64_t limit, bool sameDistance) {
    uint32_t P = pr.token;
    unsigned pm = isMatch(P) ? 1 : 0;
    ++x.tokens;
    if (c.bit(x.same[pm], actual == P)) return P;
    ++x.misses;
    if (pm && c.bit(x.isLit, !isMatch(actual))) return win.byte(pos);
    if (pm && sameDistance) {
        // A shorter match at the predicted distance.
        uint32_t pl = tokenLength(P);
        bool sd = C::encoding && tokenDistance(actual) == tokenDistance(P) && tokenLength(actual) < pl;
        if (c.bit(x.distSame, sd)) {
            uint32_t d = codeTree(c, x.lenShorter, 8, sd ? pl - tokenLength(actual) : 0);
            if (d == 0 || d + 3 > pl) return BAD;
            return makeMatch(pl - d, tokenDistance(P));
        }
    }
    uint32_t ref = pm ? tokenLength(P) : (pr.searchLen >= 3 ? pr.searchLen : 0);
    uint32_t len;
    if (ref && c.bit(x.lenSame[pm], tokenLength(actual) == ref)) len = ref;
    else len = codeTree(c, x.lenTree, 8, tokenLength(actual) - 3) + 3;
    int64_t room = std::min<int64_t>(win.require(pos, pos + 258), limit) - pos;
    if (len > room) return BAD;
    int idx = -1;
    if (C::encoding) idx = model.candidateIndex(pos, len, tokenDistance(actual));
    uint32_t v = codeTree(c, x.distIdx, 5, idx >= 0 && idx < 31 ? static_cast<uint32_t>(idx) : 31);
    uint32_t dist;
    if (v < 31) {
        dist = model.candidateDistance(pos, len, v);
        if (dist == 0) return BAD;
    } else {
        uint32_t ad = C::encoding ? tokenDistance(actual) : 1;
        uint32_t dc = codeTree(c, x.distCode, 5, static_cast<uint32_t>(distanceCode(ad)));
        if (dc >= 30) return BAD;
        dist = DIST_BASE[dc] + c.raw(DIST_EXTRA[dc], ad - DIST_BASE[dc]);
        if (dist > pos) return BAD;
    }
    return makeMatch(len, dist);
}

int lastNonZero(const uint8_t* a, int n) {
    for (int i = n - 1; i >= 0; --i)
        if (a[i]) return i;
    return -1;
}

int predictedHclen(const uint8_t* clen) {
    int k = CLEN_CODES - 1;
    while (k >= 4 && clen[CLEN_ORDER[k]] == 0) --k;
    return std::max(4, k + 1);
}

void rleFreq(const std::vector<uint16_t>& rle, uint32_t* freq) {
    for (int i = 0; i < CLEN_CODES; ++i) freq[i] = 0;
    for (uint16_t e : rle) freq[e & 31]++;
}

// The model's dynamic header for code lengths, and its size in bits.
uint64_t headerFor(BlockHead& h) {
    h.hlit = std::max(257, lastNonZero(h.litLen, LITLEN_CODES) + 1);
    h.hdist = std::max(1, lastNonZero(h.distLen, DIST_CODES) + 1);
    h.rle.clear();
    appendRle(h.litLen, h.hlit, h.rle);
    appendRle(h.distLen, h.hdist, h.rle);
    uint32_t f[CLEN_CODES];
    rleFreq(h.rle, f);
    buildLengths(f, CLEN_CODES, 7, h.clen);
    h.hclen = predictedHclen(h.clen);
    uint64_t bits = 14 + 3 * static_cast<uint64_t>(h.hclen);
    static const int EXTRA[3] = {2, 3, 7};
    for (uint16_t e : h.rle) bits += h.clen[e & 31] + ((e & 31) >= 16 ? EXTRA[(e & 31) - 16] : 0);
    return bits;
}

template <class C>
bool codeHeader(C& c, Contexts& x, const BlockHead& pred, BlockHead& h) {
    bool enc = C::encoding;
    bool lensSame = enc && memcmp(h.litLen, pred.litLen, LITLEN_CODES) == 0 &&
                    memcmp(h.distLen, pred.distLen, DIST_CODES) == 0;
    if (enc && !(h == pred)) ++x.headerMisses;
    if (c.bit(x.lensSame, lensSame)) {
        memcpy(h.litLen, pred.litLen, LITLEN_CODES);
        memcpy(h.distLen, pred.distLen, DIST_CODES);
    } else {
        for (int i = 0; i < LITLEN_CODES; ++i)
            h.litLen[i] = static_cast<uint8_t>(codeTree(c, x.litDelta[pred.litLen[i]], 4, h.litLen[i]));
        for (int i = 0; i < DIST_CODES; ++i)
            h.distLen[i] = static_cast<uint8_t>(codeTree(c, x.distDelta[pred.distLen[i]], 4, h.distLen[i]));
    }
    if (h.litLen[256] == 0 || !lengthsValid(h.litLen, LITLEN_CODES) || !lengthsValid(h.distLen, DIST_CODES))
        return false;
    int hlit = std::max(257, lastNonZero(h.litLen, LITLEN_CODES) + 1);
    int hdist = std::max(1, lastNonZero(h.distLen, DIST_CODES) + 1);
    if (c.bit(x.hlitSame, h.hlit == hlit)) h.hlit = hlit;
    else h.hlit = static_cast<int>(codeTree(c, x.hlitTree, 5, static_cast<uint32_t>(h.hlit - 257))) + 257;
    if (c.bit(x.hdistSame, h.hdist == hdist)) h.hdist = hdist;
    else h.hdist = static_cast<int>(codeTree(c, x.hdistTree, 5, static_cast<uint32_t>(h.hdist - 1))) + 1;
    if (h.hlit < hlit || h.hlit > LITLEN_CODES || h.hdist < hdist || h.hdist > DIST_CODES) return false;

    int total = h.hlit + h.hdist;
    uint8_t all[LITLEN_CODES + DIST_CODES];
    memcpy(all, h.litLen, static_cast<size_t>(h.hlit));
    memcpy(all + h.hlit, h.distLen, static_cast<size_t>(h.hdist));
    std::vector<uint16_t> zl, joined;
    appendRle(h.litLen, h.hlit, zl);
    appendRle(h.distLen, h.hdist, zl);
    appendRle(all, total, joined);
    if (c.bit(x.rleZlib, h.rle == zl)) {
        h.rle = zl;
    } else if (c.bit(x.rleJoined, h.rle == joined)) {
        h.rle = joined;
    } else {
        static const int EXTRA[3] = {2, 3, 7};
        std::vector<uint16_t> in;
        if (enc) in.swap(h.rle);
        h.rle.clear();
        int n = 0;
        for (size_t i = 0; n < total; ++i) {
            uint16_t e = enc ? in[i] : 0;
            uint32_t sym = codeTree(c, x.rleSym, 5, e & 31u);
            if (sym > 18) return false;
            uint32_t extra = sym >= 16 ? c.raw(EXTRA[sym - 16], e >> 5) : 0;
            n += sym < 16 ? 1 : sym == 16 ? 3 + static_cast<int>(extra)
                              : sym == 17 ? 3 + static_cast<int>(extra) : 11 + static_cast<int>(extra);
            h.rle.push_back(static_cast<uint16_t>(sym | extra << 5));
            if (c.failed()) return false;
        }
        uint8_t check[LITLEN_CODES + DIST_CODES];
        if (!expandRle(h.rle, total, check) || memcmp(check, all, static_cast<size_t>(total)) != 0)
            return false;
    }
    uint32_t f[CLEN_CODES];
    rleFreq(h.rle, f);
    uint8_t pc[CLEN_CODES];
    buildLengths(f, CLEN_CODES, 7, pc);
    if (c.bit(x.clenSame, memcmp(pc, h.clen, CLEN_CODES) == 0)) {
        memcpy(h.clen, pc, CLEN_CODES);
    } else {
        for (int i = 0; i < CLEN_CODES; ++i)
            h.clen[i] = static_cast<uint8_t>(codeTree(c, x.clenTree[pc[i]], 3, h.clen[i]));
    }
    if (!lengthsValid(h.clen, CLEN_CODES)) return false;
    for (int i = 0; i < CLEN_CODES; ++i)
        if (f[i] && !h.clen[i]) return false;
    int hclen = predictedHclen(h.clen);
    if (c.bit(x.hclenSame, h.hclen == hclen)) h.hclen = hclen;
    else h.hclen = static_cast<int>(c.raw(4, static_cast<uint32_t>(h.hclen - 4))) + 4;
    if (h.hclen < hclen) return false;
    return true;
}

void report(MakeStats* stats, Contexts& x, int64_t pos) {
    if (stats) {
        stats->blocks += x.blocks;
        stats->tokens += x.tokens;
        stats->tokenMisses += x.misses;
        stats->headerMisses += x.headerMisses;
        stats->dataBytes += static_cast<uint64_t>(pos);
    }
    x.blocks = x.tokens = x.misses = x.headerMisses = 0;
}

}  // namespace

template <class C>
Result codeStream(C& c, Contexts& x, const ModelParams& prm, Window& win, Decoder* dec,
                  BitWriter* out, int64_t dataEnd, int64_t stopAfter, MakeStats* stats) {
    const bool enc = C::encoding;
    Model model(prm, win);
    int64_t pos = 0;
    unsigned prevType = 2, prevCount = 1;
    uint32_t prevStored = 65535;
    int emptyRun = 0;
    uint32_t blockMin = prm.minMatch;
    BlockHead head;
    std::vector<uint32_t> tokens;
    std::vector<uint8_t> bytes;
    for (;;) {
        uint64_t startBits = enc ? dec->bitPosition() : out->bitPosition();
        if (enc) {
            Result r = dec->readBlock(head, tokens, BLOCK_TOKEN_LIMIT, pos);
            if (r != Result::Ok) return r;
        }
        ++x.blocks;
        if (c.bit(x.stored[prevType], enc && head.type == 0)) {
            head.type = 0;
            uint32_t len = head.storedLength;
            if (c.bit(x.storedZero, len == 0)) len = 0;
            else if (c.bit(x.storedSame, len == prevStored)) len = prevStored;
            else len = c.raw(16, len);
            head.storedLength = len;
            int pad = static_cast<int>((8 - (startBits + 3) % 8) % 8);
            if (c.bit(x.padZero, head.padValue == 0)) head.padValue = 0;
            else head.padValue = c.raw(pad, head.padValue);
            int64_t end = pos + len;
            int64_t got = win.require(pos, end + 1);
            if (got < end) return enc ? Result::DataMismatch : Result::BadCorrections;
            head.final = c.bit(x.final[got == end ? 1 : 0], head.final);
            if (enc) {
                bytes.resize(len);
                if (!dec->storedBytes(bytes.data(), len)) return Result::BadStream;
                if (len && memcmp(bytes.data(), win.at(pos), len) != 0) return Result::DataMismatch;
            } else if (!writeBlock(*out, head, tokens, win, pos)) {
                return Result::IoError;
            }
            model.applyStored(pos, len);
            pos = end;
            prevStored = len;
            prevType = 0;
            if (len == 0 ? ++emptyRun > EMPTY_BLOCK_RUN : (emptyRun = 0) != 0)
                return enc ? Result::TooLarge : Result::BadCorrections;
        } else {
            int64_t endPos = pos;
            unsigned cm = 0;
            if (enc) {
                for (uint32_t t : tokens) endPos += tokenLength(t);
                size_t n = tokens.size();
                cm = n == prm.split || (n < prm.split && endPos == dataEnd);
            }
            cm = c.bit(x.countMode[prevCount], cm);
            if (prm.blockMinMatch) {
                uint32_t mm = blockMin;
                if (enc) {
                    uint32_t shortest = 259;
                    for (uint32_t t : tokens)
                        if (isMatch(t)) shortest = std::min(shortest, tokenLength(t));
                    if (shortest <= 258) mm = std::min<uint32_t>(shortest, 6);
                }
                if (!c.bit(x.minSame, mm == blockMin)) mm = codeTree(c, x.minTree, 2, mm - 3) + 3;
                blockMin = mm;
                model.setMinMatch(static_cast<uint8_t>(mm));
            }
            int64_t limit = INT64_MAX;
            if (!cm) {
                uint64_t blen = codeNumber(c, x.blockLen, static_cast<uint64_t>(endPos - pos));
                if (blen > (uint64_t(1) << 48)) return Result::BadCorrections;
                endPos = pos + static_cast<int64_t>(blen);
                limit = endPos;
            }
            if (!enc) tokens.clear();
            size_t i = 0;
            for (;;) {
                if (cm ? (i == prm.split || win.atEnd(pos)) : pos == endPos) break;
                if (enc && stopAfter >= 0 && pos >= stopAfter) {  // a trial ends inside a block
                    report(stats, x, pos);
                    return Result::Ok;
                }
                if (!cm && win.atEnd(pos)) return enc ? Result::DataMismatch : Result::BadCorrections;
                uint32_t actual = 0;
                if (enc) {
                    if (i >= tokens.size()) return Result::BadStream;
                    actual = tokens[i];
                    uint32_t len = tokenLength(actual);
                    if (win.require(pos, pos + len) != pos + len) return Result::DataMismatch;
                    if (isMatch(actual) ? model.matchLength(pos, tokenDistance(actual), len) != len
                                        : win.byte(pos) != actual)
                        return Result::DataMismatch;
                }
                Prediction pr = model.predict(pos, limit);
                uint32_t t = codeToken(c, x, model, win, pr, actual, pos, limit, prm.sameDistance);
                if (t == BAD) return enc ? Result::BadStream : Result::BadCorrections;
                if (!enc) {
                    if (tokens.size() >= BLOCK_TOKEN_LIMIT || c.failed()) return Result::BadCorrections;
                    tokens.push_back(t);
                }
                model.apply(pos, t);
                pos += tokenLength(t);
                ++i;
            }
            if (enc && i != tokens.size()) return Result::BadStream;
            head.final = c.bit(x.final[win.atEnd(pos) ? 1 : 0], head.final);

            // The model's tables for these tokens, and the type it would choose.
            uint32_t lf[LITLEN_CODES] = {}, df[DIST_CODES] = {};
            uint64_t extraBits = 0;
            for (uint32_t t : tokens) {
                if (!isMatch(t)) { lf[t]++; continue; }
                int lc = lengthCode(tokenLength(t)), dc = distanceCode(tokenDistance(t));
                lf[257 + lc]++;
                df[dc]++;
                extraBits += LENGTH_EXTRA[lc] + DIST_EXTRA[dc];
            }
            lf[256] = 1;
            BlockHead pred;
            buildLengths(lf, LITLEN_CODES, 15, pred.litLen);
            buildLengths(df, DIST_CODES, 15, pred.distLen);
            uint64_t dynBits = 3 + extraBits + headerFor(pred), fixBits = 3 + extraBits;
            uint8_t fl[288], fd[30];
            fixedLengths(fl, fd);
            for (int s = 0; s < LITLEN_CODES; ++s) { dynBits += uint64_t(lf[s]) * pred.litLen[s]; fixBits += uint64_t(lf[s]) * fl[s]; }
            for (int s = 0; s < DIST_CODES; ++s) { dynBits += uint64_t(df[s]) * pred.distLen[s]; fixBits += uint64_t(df[s]) * fd[s]; }
            unsigned predDyn = (fixBits + 7) / 8 > (dynBits + 7) / 8;
            if (c.bit(x.dyn[predDyn], head.type == 2)) {
                head.type = 2;
                if (!codeHeader(c, x, pred, head)) return enc ? Result::BadStream : Result::BadCorrections;
                if (!enc) {
                    for (int s = 0; s < LITLEN_CODES; ++s)
                        if (lf[s] && !head.litLen[s]) return Result::BadCorrections;
                    for (int s = 0; s < DIST_CODES; ++s)
                        if (df[s] && !head.distLen[s]) return Result::BadCorrections;
                }
            } else {
                head.type = 1;
            }
            if (!enc && !writeBlock(*out, head, tokens, win, pos)) return Result::IoError;
            prevType = static_cast<unsigned>(head.type);
            prevCount = cm;
            if (tokens.empty() ? ++emptyRun > EMPTY_BLOCK_RUN : (emptyRun = 0) != 0)
                return enc ? Result::TooLarge : Result::BadCorrections;
        }
        if (c.failed()) return Result::BadCorrections;
        if (win.error()) return Result::IoError;
        if (head.final) break;
        if (stopAfter >= 0 && pos >= stopAfter) {
            report(stats, x, pos);
            return Result::Ok;
        }
    }
    int count;
    uint32_t v = 0;
    if (enc) v = dec->finish(&count);
    else count = static_cast<int>((8 - out->bitPosition() % 8) % 8);
    if (c.bit(x.trailZero, v == 0)) v = 0;
    else v = c.raw(count, v);
    if (!enc) {
        out->put(v, count);
        if (c.failed()) return Result::BadCorrections;
    }
    if (!win.atEnd(pos)) return enc ? Result::DataMismatch : Result::BadCorrections;
    report(stats, x, pos);
    return Result::Ok;
}

template Result codeStream<RangeEncoder>(RangeEncoder&, Contexts&, const ModelParams&, Window&,
                                         Decoder*, BitWriter*, int64_t, int64_t, MakeStats*);
template Result codeStream<RangeDecoder>(RangeDecoder&, Contexts&, const ModelParams&, Window&,
                                         Decoder*, BitWriter*, int64_t, int64_t, MakeStats*);

}  // namespace recon
