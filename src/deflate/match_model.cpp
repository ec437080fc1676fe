// The model encoder: hash chains over 3-byte hashes, a bounded search for
// the longest match (nearest first among equals) and either greedy parsing
// or lazy evaluation, with the per-setting limits zlib-like encoders use.
#include <algorithm>
#include <cstdio>

#include "deflate/internal.h"

namespace recon {

namespace {
constexpr int64_t WSIZE = 32768;
const uint32_t* crc32cTable() {
    static uint32_t t[256];
    static bool made = false;
    if (!made) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        made = true;
    }
    return t;
}
constexpr int CANDIDATE_WALK = 1024;
}

std::string describe(const ModelParams& p) {
    char buf[200];
    snprintf(buf, sizeof buf, "%s hash %u chain %u good %u lazy %u nice %u dist %u far %u split %u min %u%s hash-mode %u%s",
             p.lazyMode ? "lazy" : "greedy", p.hashBits, p.chain, p.good, p.lazy, p.nice,
             p.maxDist, p.tooFar, p.split, p.minMatch, p.blockMinMatch ? " by block" : "", p.hashMode,
             p.sameDistance ? " same-distance" : "");
    return buf;
}

Model::Model(const ModelParams& p, Window& win)
    : p_(p), win_(win), head_(size_t(1) << p.hashBits, 0), prev_(WSIZE, 0) {
    shift_ = (p.hashBits + 2u) / 3u;
    mask_ = (1u << p.hashBits) - 1;
    hashLen_ = p.hashMode >= 1 ? 4 : 3;
    if (p.blockMinMatch && hashLen_ == 4) head3_.assign(size_t(1) << 15, 0);
}

uint32_t Model::hashAt(int64_t pos) const {
    const uint8_t* b = win_.at(pos);
    if (p_.hashMode == 1) {
        uint32_t v = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        return (v * 2654435761u) >> (32 - p_.hashBits);
    }
    if (p_.hashMode == 2) {
        uint32_t c = 0;
        for (int i = 0; i < 4; ++i) c = crc32cTable()[(c ^ b[i]) & 255] ^ (c >> 8);
        return c & mask_;
    }
    return ((uint32_t(b[0]) << (2 * shift_)) ^ (uint32_t(b[1]) << shift_) ^ b[2]) & mask_;
}

void Model::insertUpTo(int64_t end) {
    if (end <= inserted_) return;
    int64_t avail = win_.require(inserted_, end + hashLen_ - 1);
    for (int64_t q = inserted_; q < end; ++q) {
        if (!head3_.empty() && q + 3 <= avail && q > 0) {
            const uint8_t* b = win_.at(q);
            head3_[((uint32_t(b[0]) << 10) ^ (uint32_t(b[1]) << 5) ^ b[2]) & 0x7FFF] = static_cast<uint32_t>(q + 1);
        }
        if (q + hashLen_ > avail || q == 0) continue;
        uint32_t h = hashAt(q);
        prev_[static_cast<size_t>(q & (WSIZE - 1))] = head_[h];
        head_[h] = static_cast<uint32_t>(q + 1);
    }
    inserted_ = end;
}

uint32_t Model::matchLength(int64_t pos, uint32_t dist, uint32_t maxLen) {
    const uint8_t* a = win_.at(pos);
    const uint8_t* b = a - dist;
    uint32_t n = 0;
    while (n + 8 <= maxLen) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y) {
            // first differing byte (byte order independent)
            while (a[n] == b[n]) ++n;
            return n;
        }
        n += 8;
    }
    while (n < maxLen && a[n] == b[n]) ++n;
    return n;
}

Model::Found Model::search(int64_t pos, uint32_t prevLen, int64_t limit) {
    int64_t have = win_.require(pos, std::min<int64_t>(limit, pos + 258));
    int64_t room = have - pos;
    if (room < hashLen_ || room < 3) return {0, 0};
    uint32_t maxLen = static_cast<uint32_t>(room);
    insertUpTo(pos);
    uint32_t chain = p_.chain;
    if (prevLen >= p_.good) chain >>= 2;
    if (chain == 0) chain = 1;
    uint32_t nice = std::min<uint32_t>(p_.nice, maxLen);
    uint32_t best = prevLen, bestDist = 0;
    uint32_t cur = head_[hashAt(pos)];
    bool first = true;
    const uint8_t* here = win_.at(pos);
    const uint32_t here1 = static_cast<uint32_t>(pos + 1);
    int64_t lastD = 0;
    while (cur) {
        int64_t d = static_cast<uint32_t>(here1 - cur);
        if (d <= lastD || (first ? d > p_.maxDist : d >= p_.maxDist)) break;
        lastD = d;
        int64_t q = pos - d;
        first = false;
        const uint8_t* there = here - d;
        if (best < maxLen ? there[best] == here[best] && there[0] == here[0] : false) {
            uint32_t len = matchLength(pos, static_cast<uint32_t>(d), maxLen);
            if (len > best) {
                best = len;
                bestDist = static_cast<uint32_t>(d);
                if (len >= nice) break;
            }
        }
        if (--chain == 0) break;
        cur = prev_[static_cast<size_t>(q & (WSIZE - 1))];
    }
    if (bestDist == 0 && prevLen < 3 && p_.minMatch == 3 && !head3_.empty()) {
        // The latest position with the same 3-byte hash, for a length-3 match.
        uint32_t c3 = head3_[((uint32_t(here[0]) << 10) ^ (uint32_t(here[1]) << 5) ^ here[2]) & 0x7FFF];
        int64_t d = static_cast<uint32_t>(here1 - c3);
        if (c3 && d > 0 && d <= p_.maxDist) {
            uint32_t len = matchLength(pos, static_cast<uint32_t>(d), maxLen);
            if (len >= 3) return {len, static_cast<uint32_t>(d)};
        }
    }
    if (bestDist == 0 || best < p_.minMatch) return {0, 0};
    return {best, bestDist};
}

Prediction Model::predict(int64_t pos, int64_t limit) {
    Prediction out;
    Found m;
    if (!p_.lazyMode) {
        m = search(pos, 2, limit);
        lastPos_ = pos;
        lastM_ = m;
        lastNValid_ = false;
        out.searchLen = m.len;
        out.token = m.len >= 3 ? makeMatch(m.len, m.dist) : win_.byte(pos);
        return out;
    }
    if (cachePos_ == pos) {
        m = cache_;
    } else {
        m = search(pos, 2, limit);
        if (m.len == 3 && p_.tooFar && m.dist > p_.tooFar) m = {0, 0};
    }
    lastPos_ = pos;
    lastM_ = m;
    lastNValid_ = false;
    out.searchLen = m.len;
    if (m.len >= 3 && m.len < p_.lazy && pos + 1 < limit) {
        insertUpTo(pos + 1);
        Found n = search(pos + 1, m.len, limit);
        lastN_ = n;
        lastNValid_ = true;
        if (n.len > m.len) {
            out.token = win_.byte(pos);
            return out;
        }
    }
    win_.require(pos, pos + 1);
    out.token = m.len >= 3 ? makeMatch(m.len, m.dist) : win_.byte(pos);
    return out;
}

void Model::apply(int64_t pos, uint32_t token) {
    uint32_t len = tokenLength(token);
    if (!p_.lazyMode) {
        insertUpTo(pos + 1);
        if (len <= p_.lazy) insertUpTo(pos + len);
        else inserted_ = std::max<int64_t>(inserted_, pos + len);
        cachePos_ = -1;
        return;
    }
    if (!isMatch(token) && lastPos_ == pos && lastNValid_ && lastN_.len > lastM_.len) {
        cachePos_ = pos + 1;
        cache_ = lastN_;
    } else {
        cachePos_ = -1;
    }
    insertUpTo(pos + len);
}

void Model::applyStored(int64_t pos, int64_t len) {
    if (!p_.lazyMode) inserted_ = std::max(inserted_, pos);
    insertUpTo(pos + len);
    cachePos_ = -1;
}

int Model::candidateIndex(int64_t pos, uint32_t len, uint32_t dist) {
    if (win_.require(pos, pos + hashLen_) < pos + hashLen_) return -1;
    insertUpTo(pos);
    uint32_t cur = head_[hashAt(pos)];
    const uint32_t here1 = static_cast<uint32_t>(pos + 1);
    int64_t lastD = 0;
    int idx = 0;
    for (int steps = 0; cur && steps < CANDIDATE_WALK; ++steps) {
        int64_t d = static_cast<uint32_t>(here1 - cur), q = pos - d;
        if (d == 0 && steps == 0) {  // pos itself, inserted for a look-ahead
            cur = prev_[static_cast<size_t>(q & (WSIZE - 1))];
            continue;
        }
        if (d <= lastD || d > WSIZE || d > dist) return -1;
        lastD = d;
        if (matchLength(pos, static_cast<uint32_t>(d), len) >= len) {
            if (d == dist) return idx;
            ++idx;
        }
        cur = prev_[static_cast<size_t>(q & (WSIZE - 1))];
    }
    return -1;
}

uint32_t Model::candidateDistance(int64_t pos, uint32_t len, uint32_t idx) {
    if (win_.require(pos, pos + hashLen_) < pos + hashLen_) return 0;
    insertUpTo(pos);
    uint32_t cur = head_[hashAt(pos)];
    const uint32_t here1 = static_cast<uint32_t>(pos + 1);
    int64_t lastD = 0;
    uint32_t i = 0;
    for (int steps = 0; cur && steps < CANDIDATE_WALK; ++steps) {
        int64_t d = static_cast<uint32_t>(here1 - cur), q = pos - d;
        if (d == 0 && steps == 0) {
            cur = prev_[static_cast<size_t>(q & (WSIZE - 1))];
            continue;
        }
        if (d <= lastD || d > WSIZE) return 0;
        lastD = d;
        if (matchLength(pos, static_cast<uint32_t>(d), len) >= len) {
            if (i == idx) return static_cast<uint32_t>(d);
            ++i;
        }
        cur = prev_[static_cast<size_t>(q & (WSIZE - 1))];
    }
    return 0;
}

}  // namespace recon
