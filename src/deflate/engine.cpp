// The record around the coded streams: its header and model settings, the
// choice of settings by trial, raw streams and gzip files member by member.
#include <algorithm>
#include <memory>

#include <zlib.h>

#include "deflate/internal.h"

namespace recon {

namespace {

constexpr char MAGIC[4] = {'P', 'K', 'D', 'F'};
constexpr uint8_t VERSION_1 = 1, VERSION_2 = 2;
constexpr size_t RECORD_HEADER = 24;    // the settings of version 1
constexpr size_t RECORD_HEADER_2 = 28;  // version 2: four more bytes
constexpr int64_t TRIAL_BYTES = 256 * 1024, SHORT_TRIAL_BYTES = 48 * 1024;
constexpr size_t LONG_TRIALS = 6;
constexpr size_t GZIP_HEADER_LIMIT = size_t(1) << 20;
constexpr size_t TRAILING_LIMIT = size_t(1) << 20;
constexpr size_t MEMBER_LIMIT = size_t(1) << 20;

// zlib-like settings by level (greedy 1-3, lazy 4-9), for two table sizes.
std::vector<ModelParams> presets() {
    struct L { uint8_t lazyMode; uint16_t good, lazy, nice, chain; };
    static const L levels[] = {{0, 4, 4, 8, 4},     {0, 4, 5, 16, 8},     {0, 4, 6, 32, 32},
                               {1, 4, 4, 16, 16},   {1, 8, 16, 32, 32},   {1, 8, 16, 128, 128},
                               {1, 8, 32, 128, 256}, {1, 32, 128, 258, 1024}, {1, 32, 258, 258, 4096}};
    // The most common settings first: a trial that matches exactly ends the search.
    static const int order[] = {6, 9, 1, 5, 4, 3, 2, 7, 8};
    std::vector<ModelParams> out;
    for (int mm = 3; mm <= 6; ++mm)
    for (int mem = 8; mem <= 9; ++mem) {
        for (int lv : order) {
            const L& l = levels[lv - 1];
            ModelParams p;
            p.lazyMode = l.lazyMode;
            p.good = l.good;
            p.lazy = l.lazy;
            p.nice = l.nice;
            p.chain = l.chain;
            p.hashBits = static_cast<uint8_t>(mem + 7);
            p.split = (1u << (mem + 6)) - 1;
            p.minMatch = static_cast<uint8_t>(mm == 3 ? 3 : 4);
            p.hashMode = static_cast<uint8_t>(mm <= 4 ? 0 : mm - 4);
            out.push_back(p);
        }
    }
    // Settings that suit libdeflate's faster and default levels: a short
    // search without length-based limits over a 4-byte hash; in the lazy one
    // each block has its own shortest match, with length-3 matches taken
    // from the latest position of their 3-byte hash.
    for (int hm = 1; hm <= 2; ++hm) {
        ModelParams g;
        g.lazyMode = 0;
        g.chain = 2;
        g.nice = 32;
        g.good = g.lazy = 258;
        g.minMatch = 4;
        g.hashMode = static_cast<uint8_t>(hm);
        ModelParams l = g;
        l.lazyMode = 1;
        l.chain = 35;
        l.nice = l.lazy = 65;
        l.blockMinMatch = true;
        out.push_back(g);
        out.push_back(l);
    }
    return out;
}

void put16(std::string& s, uint32_t v) { s.push_back(char(v & 255)); s.push_back(char(v >> 8 & 255)); }
void put32(std::string& s, uint32_t v) { put16(s, v & 0xFFFF); put16(s, v >> 16); }
uint32_t get16(const uint8_t* p) { return p[0] | uint32_t(p[1]) << 8; }
uint32_t get32(const uint8_t* p) { return get16(p) | get16(p + 2) << 16; }

// Settings that version 1 cannot express need version 2.
bool needsVersion2(const ModelParams& p) {
    return p.minMatch != 3 || p.hashMode != 0 || p.blockMinMatch || p.sameDistance;
}

std::string recordHeader(uint8_t container, const ModelParams& p) {
    std::string s(MAGIC, 4);
    bool v2 = needsVersion2(p);
    s.push_back(char(v2 ? VERSION_2 : VERSION_1));
    s.push_back(char(container));
    s.push_back(char(p.lazyMode));
    s.push_back(char(p.hashBits));
    put16(s, p.chain);
    put16(s, p.good);
    put16(s, p.lazy);
    put16(s, p.nice);
    put16(s, p.maxDist);
    put16(s, p.tooFar);
    put32(s, p.split);
    if (v2) {
        s.push_back(char(p.minMatch));
        s.push_back(char(p.hashMode));
        s.push_back(char((p.blockMinMatch ? 1 : 0) | (p.sameDistance ? 2 : 0)));
        s.push_back(0);
    }
    return s;
}

// Ok, NewerRecord (a later version of the same magic and container) or
// BadCorrections.
Result readRecordHeader(ByteSource& in, uint8_t container, ModelParams& p) {
    uint8_t h[RECORD_HEADER];
    size_t got = 0;
    while (got < RECORD_HEADER) {
        long n = in.read(h + got, RECORD_HEADER - got);
        if (n <= 0) return Result::BadCorrections;
        got += static_cast<size_t>(n);
    }
    if (memcmp(h, MAGIC, 4) != 0 || h[4] == 0 || h[5] != container) return Result::BadCorrections;
    if (h[4] > VERSION_2) return Result::NewerRecord;
    p.lazyMode = h[6];
    p.hashBits = h[7];
    p.chain = static_cast<uint16_t>(get16(h + 8));
    p.good = static_cast<uint16_t>(get16(h + 10));
    p.lazy = static_cast<uint16_t>(get16(h + 12));
    p.nice = static_cast<uint16_t>(get16(h + 14));
    p.maxDist = static_cast<uint16_t>(get16(h + 16));
    p.tooFar = static_cast<uint16_t>(get16(h + 18));
    p.split = get32(h + 20);
    p.minMatch = 3;
    if (h[4] == VERSION_2) {
        uint8_t x[RECORD_HEADER_2 - RECORD_HEADER];
        for (size_t got = 0; got < sizeof x;) {
            long n = in.read(x + got, sizeof x - got);
            if (n <= 0) return Result::BadCorrections;
            got += static_cast<size_t>(n);
        }
        p.minMatch = x[0];
        p.hashMode = x[1];
        p.blockMinMatch = x[2] & 1;
        p.sameDistance = x[2] & 2;
        if (p.minMatch < 3 || p.minMatch > 4 || p.hashMode > 2 || x[2] > 3 || x[3] != 0)
            return Result::BadCorrections;
    }
    bool valid = p.lazyMode <= 1 && p.hashBits >= 8 && p.hashBits <= 16 && p.chain >= 1 &&
           p.chain <= 4096 && p.maxDist >= 1 && p.maxDist <= 32768 && p.split >= 1 &&
           p.split <= BLOCK_TOKEN_LIMIT;
    return valid ? Result::Ok : Result::BadCorrections;
}

// The data of one member: at most `left` bytes of the data, with their CRC-32.
class MemberSource : public ByteSource {
public:
    MemberSource(ByteSource& src, uint64_t left) : src_(src), left_(left) {}
    long read(uint8_t* buf, size_t n) override {
        if (n > left_) n = static_cast<size_t>(left_);
        if (n == 0) return 0;
        long r = src_.read(buf, n);
        if (r > 0) {
            crc_ = crc32(crc_, buf, static_cast<uInt>(r));
            left_ -= static_cast<uint64_t>(r);
        }
        return r;
    }
    uint64_t left() const { return left_; }
    uint32_t crc() const { return static_cast<uint32_t>(crc_); }
private:
    ByteSource& src_;
    uint64_t left_;
    uLong crc_ = crc32(0, nullptr, 0);
};

// The header bytes of a gzip member as published.
Result readGzipHeader(InputBuffer& in, std::string& hdr) {
    hdr.clear();
    auto take = [&](int n) {
        for (int i = 0; i < n; ++i) {
            int c = in.get();
            if (c < 0) return false;
            hdr.push_back(static_cast<char>(c));
        }
        return true;
    };
    auto zeroEnded = [&]() {
        for (;;) {
            int c = in.get();
            if (c < 0 || hdr.size() > GZIP_HEADER_LIMIT) return false;
            hdr.push_back(static_cast<char>(c));
            if (c == 0) return true;
        }
    };
    if (!take(10)) return Result::BadStream;
    const uint8_t* h = reinterpret_cast<const uint8_t*>(hdr.data());
    if (h[0] != 0x1f || h[1] != 0x8b || h[2] != 8 || (h[3] & 0xE0)) return Result::BadStream;
    int flags = h[3];
    if (flags & 4) {
        if (!take(2)) return Result::BadStream;
        int xlen = static_cast<uint8_t>(hdr[10]) | static_cast<uint8_t>(hdr[11]) << 8;
        if (!take(xlen)) return Result::BadStream;
    }
    if ((flags & 8) && !zeroEnded()) return Result::BadStream;
    if ((flags & 16) && !zeroEnded()) return Result::BadStream;
    if ((flags & 2) && !take(2)) return Result::BadStream;
    return Result::Ok;
}

// Decodes a raw stream without coding it: its data length.
Result scanStream(InputBuffer& in, int64_t& length) {
    Decoder dec(in);
    BlockHead head;
    std::vector<uint32_t> tokens;
    int64_t pos = 0;
    uint8_t buf[4096];
    for (;;) {
        Result r = dec.readBlock(head, tokens, BLOCK_TOKEN_LIMIT, pos);
        if (r != Result::Ok) return r;
        if (head.type == 0) {
            for (uint32_t left = head.storedLength; left;) {
                uint32_t n = left < sizeof buf ? left : sizeof buf;
                if (!dec.storedBytes(buf, n)) return Result::BadStream;
                left -= n;
            }
            pos += head.storedLength;
        }
        for (uint32_t t : tokens) pos += tokenLength(t);
        if (head.final) break;
    }
    int count;
    dec.finish(&count);
    length = pos;
    return Result::Ok;
}

struct GzipLayout {
    std::vector<std::string> headers;
    std::vector<int64_t> lengths;
    std::string trailing;
};

Result scanGzip(ByteSource& gz, GzipLayout& g) {
    auto in = std::make_unique<InputBuffer>(gz);
    for (;;) {
        std::string hdr;
        Result r = readGzipHeader(*in, hdr);
        if (r != Result::Ok) return r;
        int64_t len;
        r = scanStream(*in, len);
        if (r != Result::Ok) return r;
        for (int i = 0; i < 8; ++i)
            if (in->get() < 0) return Result::BadStream;
        g.headers.push_back(hdr);
        g.lengths.push_back(len);
        if (g.headers.size() > MEMBER_LIMIT) return Result::TooLarge;
        int a = in->get();
        if (a < 0) break;
        int b = in->get();
        if (a == 0x1f && b == 0x8b) { in->unget(2); continue; }
        in->unget(b < 0 ? 1 : 2);
        for (int c; (c = in->get()) >= 0;) {
            if (g.trailing.size() >= TRAILING_LIMIT) return Result::TooLarge;
            g.trailing.push_back(static_cast<char>(c));
        }
        break;
    }
    return in->error() ? Result::IoError : Result::Ok;
}

struct GzContexts {
    Prob more, number[4][64], trailerSame;
};

template <class C>
void codeBytes(C& c, std::string& s) {
    for (char& ch : s) ch = static_cast<char>(c.raw(8, static_cast<uint8_t>(ch)));
}

// Codes a whole record body (both directions). Maker: `in` is the published
// file, layout from the scan; rebuild: `out` receives the file.
template <class C>
Result codeFile(C& c, bool gzip, const ModelParams& prm, ByteSource& data, InputBuffer* in,
                const GzipLayout* layout, BitWriter* out, int64_t stopAfter, MakeStats* stats) {
    const bool enc = C::encoding;
    GzContexts g;
    std::unique_ptr<Contexts, void (*)(Contexts*)> ctx(newContexts(), deleteContexts);
    for (size_t m = 0;; ++m) {
        if (gzip) {
            unsigned more = enc ? m < layout->headers.size() : 0;
            if (m > 0 && !c.bit(g.more, more)) break;
            if (m >= MEMBER_LIMIT) return Result::BadCorrections;
        } else if (m > 0) {
            break;
        }
        std::string hdr;
        int64_t len = -1;
        if (gzip) {
            if (enc) {
                Result r = readGzipHeader(*in, hdr);
                if (r != Result::Ok) return r;
                len = layout->lengths[m];
            }
            uint64_t hl = codeNumber(c, g.number[0], hdr.size());
            if (hl > GZIP_HEADER_LIMIT || c.failed()) return Result::BadCorrections;
            hdr.resize(static_cast<size_t>(hl));
            codeBytes(c, hdr);
            if (!enc) out->putBytes(reinterpret_cast<const uint8_t*>(hdr.data()), hdr.size());
            uint64_t dl = codeNumber(c, g.number[1], static_cast<uint64_t>(len));
            if (dl > (uint64_t(1) << 48)) return Result::BadCorrections;
            len = static_cast<int64_t>(dl);
        } else if (enc) {
            len = layout->lengths[0];
        }
        MemberSource ms(data, gzip ? static_cast<uint64_t>(len) : UINT64_MAX);
        auto win = std::make_unique<Window>(ms);
        std::unique_ptr<Decoder> dec;
        if (enc) dec = std::make_unique<Decoder>(*in);
        Result r = codeStream(c, *ctx, prm, *win, dec.get(), out, len, stopAfter, stats);
        if (r != Result::Ok) return r;
        if (stopAfter >= 0) return Result::Ok;
        if (ms.left() && gzip) return enc ? Result::DataMismatch : Result::BadCorrections;
        if (!gzip) break;
        uint8_t tr[8] = {}, mine[8];
        uint32_t crc = ms.crc(), size = static_cast<uint32_t>(len);
        for (int i = 0; i < 4; ++i) { mine[i] = uint8_t(crc >> 8 * i); mine[4 + i] = uint8_t(size >> 8 * i); }
        if (enc)
            for (int i = 0; i < 8; ++i) {
                int b = in->get();
                if (b < 0) return Result::BadStream;
                tr[i] = static_cast<uint8_t>(b);
            }
        if (c.bit(g.trailerSame, memcmp(tr, mine, 8) == 0)) memcpy(tr, mine, 8);
        else for (int i = 0; i < 8; ++i) tr[i] = static_cast<uint8_t>(c.raw(8, tr[i]));
        if (!enc) out->putBytes(tr, 8);
        if (c.failed()) return Result::BadCorrections;
    }
    if (gzip) {
        std::string trailing = enc ? layout->trailing : std::string();
        uint64_t n = codeNumber(c, g.number[2], trailing.size());
        if (n > TRAILING_LIMIT || c.failed()) return Result::BadCorrections;
        trailing.resize(static_cast<size_t>(n));
        codeBytes(c, trailing);
        if (!enc) out->putBytes(reinterpret_cast<const uint8_t*>(trailing.data()), trailing.size());
    }
    // The data must end with the last member.
    uint8_t probe;
    long extra = data.read(&probe, 1);
    if (extra < 0) return Result::IoError;
    if (extra > 0) return enc ? Result::DataMismatch : Result::BadCorrections;
    if (c.failed()) return Result::BadCorrections;
    return Result::Ok;
}

Result makeFile(bool gzip, ByteSource& file, ByteSource& data, ByteSink& out, MakeStats* stats) {
    GzipLayout layout;
    Result r;
    if (gzip) {
        r = scanGzip(file, layout);
    } else {
        auto in = std::make_unique<InputBuffer>(file);
        int64_t len;
        r = scanStream(*in, len);
        layout.lengths.push_back(len);
    }
    if (r != Result::Ok) return r;
    // Try each setting on a short prefix, the best few of them on a longer
    // one; keep the one with the smallest record.
    std::vector<ModelParams> all = presets();
    auto trial = [&](size_t i, int64_t bytes, uint64_t& size, bool& exact) {
        if (!file.rewind() || !data.rewind()) return Result::IoError;
        auto in = std::make_unique<InputBuffer>(file);
        std::string body;
        RangeEncoder e(body);
        MakeStats st;
        Result t = codeFile(e, gzip, all[i], data, in.get(), &layout, nullptr, bytes, &st);
        e.finish();
        size = body.size();
        exact = st.tokenMisses == 0 && st.headerMisses == 0;
        return t;
    };
    std::vector<std::pair<uint64_t, size_t>> ranked;
    for (size_t i = 0; i < all.size(); ++i) {
        uint64_t size;
        bool exact;
        Result t = trial(i, SHORT_TRIAL_BYTES, size, exact);
        if (t != Result::Ok) return t;
        ranked.push_back({exact ? 0 : size, i});
        if (exact) break;  // the model matches
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const std::pair<uint64_t, size_t>& a, const std::pair<uint64_t, size_t>& b) {
                         return a.first < b.first;
                     });
    if (ranked.size() > LONG_TRIALS) ranked.resize(LONG_TRIALS);
    size_t best = ranked[0].second;
    uint64_t bestSize = UINT64_MAX;
    bool bestExact = false;
    for (const auto& cand : ranked) {
        uint64_t size;
        bool exact;
        Result t = trial(cand.second, TRIAL_BYTES, size, exact);
        if (t != Result::Ok) return t;
        if (size < bestSize || (size == bestSize && cand.second < best)) { bestSize = size; best = cand.second; }
        if (exact) { best = cand.second; bestExact = true; break; }
    }
    // Missed matches coded against the predicted distance, when that is smaller.
    ModelParams chosen = all[best];
    if (!bestExact) {
        all.push_back(chosen);
        all.back().sameDistance = true;
        uint64_t size;
        bool exact;
        Result t = trial(all.size() - 1, TRIAL_BYTES, size, exact);
        if (t != Result::Ok) return t;
        if (size < bestSize) chosen = all.back();
    }
    if (!file.rewind() || !data.rewind()) return Result::IoError;
    std::string head = recordHeader(gzip ? 1 : 0, chosen);
    if (!out.write(reinterpret_cast<const uint8_t*>(head.data()), head.size())) return Result::IoError;
    auto in = std::make_unique<InputBuffer>(file);
    std::string body;
    RangeEncoder e(body, &out);
    MakeStats local;
    r = codeFile(e, gzip, chosen, data, in.get(), &layout, nullptr, -1, &local);
    if (r != Result::Ok) return r;
    if (!e.finish()) return Result::IoError;
    if (stats) {
        local.compressedBytes = in->consumed();
        local.correctionBytes = e.written() + head.size();
        local.model = describe(chosen);
        *stats = local;
    }
    return Result::Ok;
}

Result rebuildFile(bool gzip, ByteSource& record, ByteSource& data, ByteSink& out) {
    ModelParams prm;
    Result h = readRecordHeader(record, gzip ? 1 : 0, prm);
    if (h != Result::Ok) return h;
    RangeDecoder d(record);
    auto w = std::make_unique<BitWriter>(out);
    Result r = codeFile(d, gzip, prm, data, nullptr, nullptr, w.get(), -1, nullptr);
    if (r != Result::Ok) return r;
    return w->flush() ? Result::Ok : Result::IoError;
}

}  // namespace

Result makeRaw(ByteSource& compressed, ByteSource& data, ByteSink& out, MakeStats* stats) {
    return makeFile(false, compressed, data, out, stats);
}
Result rebuildRaw(ByteSource& record, ByteSource& data, ByteSink& out) {
    return rebuildFile(false, record, data, out);
}
Result makeGzip(ByteSource& gz, ByteSource& data, ByteSink& out, MakeStats* stats) {
    return makeFile(true, gz, data, out, stats);
}
Result rebuildGzip(ByteSource& record, ByteSource& data, ByteSink& out) {
    return rebuildFile(true, record, data, out);
}

}  // namespace recon
