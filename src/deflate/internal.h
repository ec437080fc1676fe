// Internal pieces of the deflate reconstruction engine, shared by its files.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "deflate/deflate.h"

namespace recon {

// ---- tokens -------------------------------------------------------------------
// A literal is its byte value; a match is MATCH_BIT | length << 16 | distance.
constexpr uint32_t MATCH_BIT = 0x80000000u;
inline uint32_t makeMatch(uint32_t len, uint32_t dist) { return MATCH_BIT | len << 16 | dist; }
inline bool isMatch(uint32_t t) { return t & MATCH_BIT; }
inline uint32_t tokenLength(uint32_t t) { return isMatch(t) ? (t >> 16) & 0x1FF : 1; }
inline uint32_t tokenDistance(uint32_t t) { return t & 0xFFFF ? t & 0xFFFF : 65536; }

constexpr int LITLEN_CODES = 286, DIST_CODES = 30, CLEN_CODES = 19;
extern const uint8_t CLEN_ORDER[CLEN_CODES];
// Length 3..258 -> code 257..285 and its extra bits; distance -> code 0..29.
int lengthCode(uint32_t len);
int distanceCode(uint32_t dist);
extern const uint16_t LENGTH_BASE[29];
extern const uint8_t LENGTH_EXTRA[29];
extern const uint16_t DIST_BASE[30];
extern const uint8_t DIST_EXTRA[30];

// ---- one block as transmitted -------------------------------------------------
struct BlockHead {
    int type = 0;            // 0 stored, 1 fixed, 2 dynamic
    bool final = false;
    // stored
    uint32_t storedLength = 0;
    uint32_t padValue = 0;   // the padding bits before LEN, as read
    // dynamic
    int hlit = 257, hdist = 1, hclen = 4;
    uint8_t clen[CLEN_CODES] = {};          // by symbol, not by transmission order
    std::vector<uint16_t> rle;              // symbol | extra << 5
    uint8_t litLen[LITLEN_CODES] = {};
    uint8_t distLen[DIST_CODES] = {};
};
bool operator==(const BlockHead& a, const BlockHead& b);  // the dynamic header fields

// ---- Huffman helpers ------------------------------------------------------------
// The model's code lengths for symbol counts: a heap-built tree limited to
// maxBits, ties broken by subtree depth, at least two codes. `count` entries.
void buildLengths(const uint32_t* freq, int count, int maxBits, uint8_t* lengths);
// Run-length codes for code lengths, one run restarting per call.
void appendRle(const uint8_t* lengths, int count, std::vector<uint16_t>& rle);
// Lengths covered by an RLE sequence; false when it is malformed or does not
// cover exactly `total` lengths.
bool expandRle(const std::vector<uint16_t>& rle, int total, uint8_t* out);
// Kraft check: true when no length set oversubscribes the code space.
bool lengthsValid(const uint8_t* lengths, int count);
// Canonical codes, bit-reversed for LSB-first output.
void canonicalCodes(const uint8_t* lengths, int count, uint16_t* codes);
void fixedLengths(uint8_t* litLen /*288*/, uint8_t* distLen /*30*/);

// ---- range coder ------------------------------------------------------------------
// Adaptive binary range coder, probabilities of a 0 on a 16-bit scale.
struct Prob {
    uint16_t p = 32768;
};
constexpr int PROB_SHIFT = 5;
inline void adapt(Prob& pr, unsigned bit) {
    int p = pr.p;
    if (bit) p -= p >> PROB_SHIFT; else p += (65536 - p) >> PROB_SHIFT;
    if (p < 32) p = 32;
    if (p > 65536 - 32) p = 65536 - 32;
    pr.p = static_cast<uint16_t>(p);
}

class RangeEncoder {
public:
    static constexpr bool encoding = true;
    // Collects the record in `out`; with a sink, hands it on in pieces.
    explicit RangeEncoder(std::string& out, ByteSink* sink = nullptr) : out_(out), sink_(sink) {}
    unsigned bit(Prob& pr, unsigned b) {
        uint32_t bound = (range_ >> 16) * pr.p;
        if (!b) range_ = bound; else { low_ += bound; range_ -= bound; }
        adapt(pr, b);
        while (range_ < (1u << 24)) { range_ <<= 8; shiftLow(); }
        return b;
    }
    uint32_t raw(int nbits, uint32_t v) {
        for (int i = nbits - 1; i >= 0; --i) {
            range_ >>= 1;
            if ((v >> i) & 1) low_ += range_;
            while (range_ < (1u << 24)) { range_ <<= 8; shiftLow(); }
        }
        return v;
    }
    // Ends the record; false when the sink failed.
    bool finish() {
        for (int i = 0; i < 5; ++i) shiftLow();
        if (sink_ && !out_.empty()) {
            if (!sink_->write(reinterpret_cast<const uint8_t*>(out_.data()), out_.size())) error_ = true;
            flushed_ += out_.size();
            out_.clear();
        }
        return !error_;
    }
    bool failed() const { return false; }
    uint64_t written() const { return flushed_ + out_.size(); }
private:
    void shiftLow() {
        if (static_cast<uint32_t>(low_) < 0xFF000000u || (low_ >> 32) != 0) {
            uint8_t carry = static_cast<uint8_t>(low_ >> 32);
            uint8_t temp = cache_;
            do {
                out_.push_back(static_cast<char>(temp + carry));
                temp = 0xFF;
            } while (--cacheSize_ != 0);
            cache_ = static_cast<uint8_t>(low_ >> 24);
        }
        ++cacheSize_;
        low_ = (low_ & 0x00FFFFFFu) << 8;
        if (sink_ && out_.size() >= 65536) {
            if (!sink_->write(reinterpret_cast<const uint8_t*>(out_.data()), out_.size())) error_ = true;
            flushed_ += out_.size();
            out_.clear();
        }
    }
    std::string& out_;
    ByteSink* sink_;
    uint64_t flushed_ = 0;
    bool error_ = false;
    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    uint8_t cache_ = 0;
    uint64_t cacheSize_ = 1;
};

class RangeDecoder {
public:
    static constexpr bool encoding = false;
    explicit RangeDecoder(ByteSource& in) : in_(in) {
        for (int i = 0; i < 5; ++i) code_ = code_ << 8 | next();
    }
    unsigned bit(Prob& pr, unsigned) {
        uint32_t bound = (range_ >> 16) * pr.p;
        unsigned b;
        if (code_ < bound) { range_ = bound; b = 0; }
        else { code_ -= bound; range_ -= bound; b = 1; }
        adapt(pr, b);
        while (range_ < (1u << 24)) { range_ <<= 8; code_ = code_ << 8 | next(); }
        return b;
    }
    uint32_t raw(int nbits, uint32_t) {
        uint32_t v = 0;
        for (int i = 0; i < nbits; ++i) {
            range_ >>= 1;
            unsigned b = code_ >= range_;
            if (b) code_ -= range_;
            v = v << 1 | b;
            while (range_ < (1u << 24)) { range_ <<= 8; code_ = code_ << 8 | next(); }
        }
        return v;
    }
    // True once the record ran out (beyond the coder's own tail) or failed.
    bool failed() const { return overrun_ > 8 || error_; }
private:
    uint32_t next() {
        if (pos_ == len_) {
            long n = in_.read(buf_, sizeof buf_);
            if (n < 0) error_ = true;
            if (n <= 0) { ++overrun_; return 0; }
            pos_ = 0; len_ = static_cast<size_t>(n);
        }
        return buf_[pos_++];
    }
    ByteSource& in_;
    uint8_t buf_[4096];
    size_t pos_ = 0, len_ = 0;
    uint32_t code_ = 0, range_ = 0xFFFFFFFFu;
    int overrun_ = 0;
    bool error_ = false;
};

// Coding helpers for both directions: C is RangeEncoder or RangeDecoder. In
// the decoder the value arguments are ignored and the decoded value returned.
template <class C>
uint32_t codeTree(C& c, Prob* probs, int nbits, uint32_t v) {  // probs: 1 << nbits entries
    uint32_t m = 1;
    for (int i = nbits - 1; i >= 0; --i) m = m << 1 | c.bit(probs[m], (v >> i) & 1);
    return m - (1u << nbits);
}
// An unbounded count: its bit length (6-bit tree), then the lower bits raw.
template <class C>
uint64_t codeNumber(C& c, Prob* probs /*64*/, uint64_t v) {
    int bits = 0;
    while (bits < 64 && (v >> bits) > 0) ++bits;
    bits = static_cast<int>(codeTree(c, probs, 6, static_cast<uint32_t>(bits)));
    if (bits == 0) return 0;
    int low = bits - 1;
    uint64_t r = 1;
    if (low > 32) {
        int hi = low - 32;
        r = r << hi | c.raw(hi, static_cast<uint32_t>((v >> 32) & ((1ull << hi) - 1)));
        low = 32;
    }
    r = r << low | c.raw(low, static_cast<uint32_t>(v & ((1ull << low) - 1)));
    return r;
}

// ---- compressed input ----------------------------------------------------------
class InputBuffer {
public:
    explicit InputBuffer(ByteSource& s) : src_(s) {}
    int get() {
        if (pos_ == len_ && !refill()) return -1;
        ++consumed_;
        return buf_[pos_++];
    }
    void unget(size_t n) { pos_ -= n; consumed_ -= n; }  // n <= 16 bytes, just read
    bool error() const { return error_; }
    uint64_t consumed() const { return consumed_; }
private:
    bool refill();
    ByteSource& src_;
    uint8_t buf_[65536 + 16];
    size_t pos_ = 0, len_ = 0;
    uint64_t consumed_ = 0;
    bool error_ = false, end_ = false;
};

class BitReader {
public:
    explicit BitReader(InputBuffer& in) : in_(in) {}
    bool need(int n) {
        while (cnt_ < n) {
            int c = in_.get();
            if (c < 0) return false;
            buf_ |= static_cast<uint64_t>(c) << cnt_;
            cnt_ += 8;
        }
        return true;
    }
    void fill(int n) { need(n); }  // as much as there is, up to n bits
    uint32_t peek(int n) const { return static_cast<uint32_t>(buf_ & ((1ull << n) - 1)); }
    void drop(int n) { buf_ >>= n; cnt_ -= n; consumed_ += n; }
    bool bits(int n, uint32_t& v) {
        if (!need(n)) return false;
        v = peek(n);
        drop(n);
        return true;
    }
    int available() const { return cnt_; }
    uint64_t consumedBits() const { return consumed_; }
    // After the last block: hands whole unread bytes back to the input and
    // returns the bits left in the last byte (count in *count).
    uint32_t finish(int* count) {
        while (cnt_ >= 8) { in_.unget(1); cnt_ -= 8; }
        *count = cnt_;
        uint32_t v = peek(cnt_);
        drop(cnt_);
        return v;
    }
private:
    InputBuffer& in_;
    uint64_t buf_ = 0;
    int cnt_ = 0;
    uint64_t consumed_ = 0;
};

class BitWriter {
public:
    explicit BitWriter(ByteSink& out) : out_(out) {}
    void put(uint32_t v, int n) {  // n <= 32
        acc_ |= static_cast<uint64_t>(v) << cnt_;
        cnt_ += n;
        pos_ += n;
        while (cnt_ >= 8) {
            buf_[len_++] = static_cast<uint8_t>(acc_);
            acc_ >>= 8;
            cnt_ -= 8;
            if (len_ == sizeof buf_) flushBuffer();
        }
    }
    void putBytes(const uint8_t* p, size_t n) {  // only when byte aligned
        for (size_t i = 0; i < n; ++i) put(p[i], 8);
    }
    uint64_t bitPosition() const { return pos_; }
    bool flush() { flushBuffer(); return !error_; }
    bool error() const { return error_; }
private:
    void flushBuffer() {
        if (len_ && !out_.write(buf_, len_)) error_ = true;
        len_ = 0;
    }
    ByteSink& out_;
    uint64_t acc_ = 0;
    int cnt_ = 0;
    uint64_t pos_ = 0;
    uint8_t buf_[65536];
    size_t len_ = 0;
    bool error_ = false;
};

// ---- the uncompressed data --------------------------------------------------------
// A sliding window over the data: keeps 32 KiB before the position it was
// last asked about and reads ahead on demand. Positions count from 0.
class Window {
public:
    explicit Window(ByteSource& s);
    // Makes [from - 32768, to) present (as far as the data goes; to - from
    // at most 128 KiB) and returns min(to, end of data).
    int64_t require(int64_t from, int64_t to) {
        if (to <= base_ + static_cast<int64_t>(fill_) || eof_) {
            int64_t have = base_ + static_cast<int64_t>(fill_);
            return to < have ? to : have;
        }
        return slowRequire(from, to);
    }
    const uint8_t* at(int64_t pos) const { return buf_.data() + (pos - base_); }
    uint8_t byte(int64_t pos) const { return buf_[static_cast<size_t>(pos - base_)]; }
    bool error() const { return error_; }
    // True when pos is the end of the data (reads ahead to find out).
    bool atEnd(int64_t pos) { return require(pos, pos + 1) == pos; }
private:
    int64_t slowRequire(int64_t from, int64_t to);
    ByteSource& src_;
    std::vector<uint8_t> buf_;
    int64_t base_ = 0;
    size_t fill_ = 0;
    bool eof_ = false, error_ = false;
};

// ---- token decoder ----------------------------------------------------------------
class Decoder {
public:
    explicit Decoder(InputBuffer& in) : in_(in), bits_(in) {}
    // Reads the next block: its header, and for a compressed block all its
    // tokens (at most `cap`, else TooLarge). A stored block's bytes are read
    // next with storedBytes().
    Result readBlock(BlockHead& head, std::vector<uint32_t>& tokens, size_t cap, int64_t pos);
    bool storedBytes(uint8_t* dst, size_t n);
    // After the final block: the bits left in its last byte.
    uint32_t finish(int* count) { return bits_.finish(count); }
    uint64_t bitPosition() const { return bits_.consumedBits(); }
private:
    Result readDynamicHeader(BlockHead& head);
    InputBuffer& in_;
    BitReader bits_;
};

// ---- block writer -------------------------------------------------------------------
// Writes one block exactly as described: the header bits, stored bytes from
// the window, or the tokens with the block's codes.
bool writeBlock(BitWriter& w, const BlockHead& head, const std::vector<uint32_t>& tokens,
                Window& win, int64_t storedPos);

// ---- the model encoder ----------------------------------------------------------------
struct ModelParams {
    uint8_t lazyMode = 1;      // 0: greedy (insert short matches only), 1: lazy evaluation
    uint8_t hashBits = 15;     // 8..16
    uint16_t chain = 128;      // candidates examined, 1..4096
    uint16_t good = 8;         // a found length this long quarters the next search
    uint16_t lazy = 16;        // lazy: no second look at this length; greedy: insertion limit
    uint16_t nice = 128;       // stop searching at this length
    uint16_t maxDist = 32506;  // farthest distance the model uses
    uint16_t tooFar = 4096;    // lazy: a length-3 match farther than this is dropped (0: never)
    uint32_t split = 16383;    // tokens per block
    uint8_t minMatch = 3;      // shorter matches found are not taken (3 or 4)
    uint8_t hashMode = 0;      // 0: zlib's shift hash of 3 bytes, 1: multiplicative hash of 4 bytes,
                               // 2: CRC-32C of 4 bytes
    bool blockMinMatch = false;  // the shortest taken match is coded for each block (3 to 6)
    bool sameDistance = false;   // a missed match may be coded as shorter at the predicted distance
};
std::string describe(const ModelParams& p);

struct Prediction {
    uint32_t token = 0;     // predicted token
    uint32_t searchLen = 0; // the longest match the model found here (0: none)
};

class Model {
public:
    Model(const ModelParams& p, Window& win);
    // The model's token at pos; matches end at or before `limit` (the block's
    // end when known, else the data end).
    Prediction predict(int64_t pos, int64_t limit);
    // Moves past the token actually taken at pos.
    void apply(int64_t pos, uint32_t token);
    // Moves past a stored block [pos, pos + len).
    void applyStored(int64_t pos, int64_t len);
    // The shortest match taken from here on (3 to 6).
    void setMinMatch(uint8_t m) { p_.minMatch = m; }
    // The distance of the idx-th nearest earlier position (idx from 0) that
    // matches at least len bytes at pos; 0 when there is none within the walk.
    uint32_t candidateDistance(int64_t pos, uint32_t len, uint32_t idx);
    // The index of distance dist among those candidates, or -1.
    int candidateIndex(int64_t pos, uint32_t len, uint32_t dist);
    uint32_t matchLength(int64_t pos, uint32_t dist, uint32_t maxLen);
private:
    struct Found { uint32_t len, dist; };
    Found search(int64_t pos, uint32_t prevLen, int64_t limit);
    void insertUpTo(int64_t end);
    uint32_t hashAt(int64_t pos) const;
    ModelParams p_;
    Window& win_;
    std::vector<uint32_t> head_, prev_;  // position + 1, modulo 2^32; 0: none
    std::vector<uint32_t> head3_;        // the latest position of each 3-byte hash (block minimum)
    int64_t inserted_ = 0;      // positions below this are inserted or skipped
    int64_t cachePos_ = -1;     // a lazy look-ahead result for cachePos_
    Found cache_{0, 0};
    Found lastM_{0, 0};
    int64_t lastPos_ = -1;
    Found lastN_{0, 0};
    bool lastNValid_ = false;
    uint32_t shift_, mask_;
    int hashLen_;  // bytes the hash reads
};

// ---- the correction record ------------------------------------------------------------
struct Contexts;
// Codes one raw deflate stream (both directions). In the maker `dec` reads
// the published stream and dataEnd is the data's length; in the rebuild `out`
// receives the rebuilt stream (dataEnd unused). With stopAfter >= 0 the maker
// stops after the block that reaches that position (a trial).
template <class C>
Result codeStream(C& c, Contexts& ctx, const ModelParams& prm, Window& win, Decoder* dec,
                  BitWriter* out, int64_t dataEnd, int64_t stopAfter, MakeStats* stats);
Contexts* newContexts();
void deleteContexts(Contexts* c);

}  // namespace recon
