// Round trips through the deflate reconstruction: streams made by zlib with
// every level and several settings and flushes, by the installed gzip
// encoders, hand-made edge cases; damaged records and wrong data fail cleanly.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>

#include "deflate_test_util.h"
#include "test_support.h"

using namespace dtest;
using recon::Result;

namespace {

const std::string& sample() {
    static const std::string s = testsupport::sourceLikeText(90000, 7) +
                                 testsupport::randomBytes(9000, 8) + std::string(3000, 'a') +
                                 testsupport::sourceLikeText(40000, 9);
    return s;
}

struct ZlibCase {
    const char* name;
    ZlibSettings s;
};

ZlibSettings with(int level, int memLevel = 8, int strategy = Z_DEFAULT_STRATEGY, size_t chunk = 0,
                  int flush = Z_NO_FLUSH, int windowBits = -15) {
    ZlibSettings s;
    s.level = level;
    s.memLevel = memLevel;
    s.strategy = strategy;
    s.chunk = chunk;
    s.flush = flush;
    s.windowBits = windowBits;
    return s;
}

}  // namespace

TEST(Reconstruction, ZlibStreamsRoundTripWithAlmostNoCorrections) {
    std::vector<ZlibCase> cases;
    for (int level = 1; level <= 9; ++level) cases.push_back({"level", with(level)});
    cases.push_back({"memLevel 9", with(6, 9)});
    cases.push_back({"gzip wrapper", with(9, 8, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, 31)});
    for (const ZlibCase& c : cases) {
        std::string z = zlibCompress(sample(), c.s);
        RoundTrip t = roundTrip(z, sample(), c.s.windowBits > 15);
        SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.s.level));
        ASSERT_EQ(t.make, Result::Ok);
        EXPECT_TRUE(t.exact);
        EXPECT_EQ(t.stats.tokenMisses, 0u);
        EXPECT_LE(t.record.size(), 64 + z.size() / 200);
    }
}

TEST(Reconstruction, StoredFixedFlushedAndFilteredStreamsRoundTrip) {
    const ZlibCase cases[] = {
        {"stored (level 0)", with(0)},
        {"fixed Huffman", with(6, 8, Z_FIXED)},
        {"Huffman only", with(6, 8, Z_HUFFMAN_ONLY)},
        {"run lengths", with(6, 8, Z_RLE)},
        {"filtered", with(6, 8, Z_FILTERED)},
        {"sync flush every 1000 bytes", with(6, 8, Z_DEFAULT_STRATEGY, 1000, Z_SYNC_FLUSH)},
        {"full flush every 7000 bytes", with(1, 8, Z_DEFAULT_STRATEGY, 7000, Z_FULL_FLUSH)},
        {"partial flush every 3000 bytes", with(9, 8, Z_DEFAULT_STRATEGY, 3000, Z_PARTIAL_FLUSH)},
        {"block flush every 5000 bytes", with(4, 8, Z_DEFAULT_STRATEGY, 5000, Z_BLOCK)},
    };
    for (const ZlibCase& c : cases) {
        std::string z = zlibCompress(sample(), c.s);
        RoundTrip t = roundTrip(z, sample(), false);
        SCOPED_TRACE(c.name);
        ASSERT_EQ(t.make, Result::Ok);
        EXPECT_TRUE(t.exact);
    }
}

TEST(Reconstruction, EmptyAndOneByteInputs) {
    for (const std::string& data : {std::string(), std::string("x")}) {
        for (int wbits : {-15, 31}) {
            for (int level : {0, 1, 6, 9}) {
                std::string z = zlibCompress(data, with(level, 8, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, wbits));
                RoundTrip t = roundTrip(z, data, wbits > 15);
                SCOPED_TRACE("size " + std::to_string(data.size()) + " level " + std::to_string(level));
                ASSERT_EQ(t.make, Result::Ok);
                EXPECT_TRUE(t.exact);
            }
        }
    }
}

namespace {
// A deflate writer of the test's own for hand-made streams.
struct Bits {
    std::string out;
    uint64_t acc = 0;
    int n = 0;
    void put(uint32_t v, int k) {
        acc |= uint64_t(v) << n;
        n += k;
        while (n >= 8) { out.push_back(char(acc & 255)); acc >>= 8; n -= 8; }
    }
    void putCode(uint32_t code, int len) {  // Huffman codes go most significant bit first
        for (int i = len - 1; i >= 0; --i) put((code >> i) & 1, 1);
    }
    void fixedLiteral(int c) {
        if (c < 144) putCode(0x30 + c, 8); else putCode(0x190 + c - 144, 9);
    }
};
}  // namespace

TEST(Reconstruction, HandMadeStreamWithFarMatchOddPaddingAndTrailingBits) {
    std::string data = testsupport::randomBytes(32768, 21);
    data += data.substr(0, 258) + "tail";
    Bits b;
    // A stored block with padding bits that are not zero.
    b.put(0, 1); b.put(0, 2); b.put(5, 5);
    b.put(1000, 16); b.put(1000 ^ 0xFFFF, 16);
    for (int i = 0; i < 1000; ++i) b.put(uint8_t(data[i]), 8);
    // A fixed block: the rest as literals, then length 258 at distance 32768.
    b.put(0, 1); b.put(1, 2);
    for (int i = 1000; i < 32768; ++i) b.fixedLiteral(uint8_t(data[i]));
    b.putCode(0xC5, 8);          // code 285: length 258
    b.putCode(29, 5); b.put(8191, 13);  // distance code 29: 24577 + 8191 = 32768
    b.putCode(0, 7);             // end of block
    // An empty fixed block, then a final stored block, then set bits after it.
    b.put(0, 1); b.put(1, 2); b.putCode(0, 7);
    b.put(1, 1); b.put(1, 2);
    for (char c : std::string("tail")) b.fixedLiteral(uint8_t(c));
    b.putCode(0, 7);
    int rest = (8 - b.n % 8) % 8;
    b.put((1u << rest) - 1, rest);
    std::string check;
    ASSERT_TRUE(zlibInflate(b.out, -15, check));
    ASSERT_EQ(check, data);
    RoundTrip t = roundTrip(b.out, data, false);
    ASSERT_EQ(t.make, Result::Ok);
    EXPECT_TRUE(t.exact);
}

TEST(Reconstruction, GzipMembersHeadersAndTrailingBytesComeBackExactly) {
    std::string a = sample().substr(0, 50000), b = sample().substr(50000);
    std::string z1 = zlibCompress(a, with(6, 8, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, 31));
    std::string z2 = zlibCompress(b, with(1, 8, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, 31));
    // The second member carries a name, a comment and an mtime.
    std::string named = z2.substr(0, 3) + char(8 | 16) + std::string("\x01\x02\x03\x04\x00\x03", 6) +
                        std::string("name.tar\0", 9) + std::string("a comment\0", 10) + z2.substr(10);
    std::string file = z1 + named + std::string(512, '\0');
    RoundTrip t = roundTrip(file, a + b, true);
    ASSERT_EQ(t.make, Result::Ok);
    EXPECT_TRUE(t.exact);
}

TEST(Reconstruction, InstalledEncodersRoundTrip) {
    testsupport::ScratchDir dir;
    std::string data = sample();
    testsupport::writeFile(dir / "data", data);
    // Each command, and the largest record it may need in thousandths of the stream (0: any).
    const struct { const char* cmd; int permille; } commands[] = {
        {"gzip -1 -n -c data", 1}, {"gzip -9 -c data", 1}, {"gzip --rsyncable -c data", 0}, {"pigz -c data", 1},
        {"pigz -11 -c data", 0}, {"libdeflate-gzip -1 -c data", 0}, {"libdeflate-gzip -12 -c data", 0},
        {"zopfli --i1 -c data", 0}, {"busybox gzip -c data", 1}, {"7z a -tgzip -mx=9 -so x data", 0},
        // Node's zlib as npm packs tarballs (level 9) and at its default level.
        {"node -e \"process.stdout.write(require('zlib').gzipSync(require('fs').readFileSync('data'),{level:9}))\"", 5},
        {"node -e \"process.stdout.write(require('zlib').gzipSync(require('fs').readFileSync('data')))\"", 5},
    };
    int ran = 0;
    for (const auto& c : commands) {
        std::string cmd = c.cmd, program = cmd.substr(0, cmd.find(' '));
        if (testsupport::runShell("command -v " + program).status != 0) continue;
        testsupport::RunResult r = testsupport::runShell(cmd + " > out.gz 2>/dev/null", dir.path());
        if (r.status != 0) continue;  // a setting this build of the program lacks
        ++ran;
        std::string gz = testsupport::readFile(dir / "out.gz");
        RoundTrip t = roundTrip(gz, data, true);
        SCOPED_TRACE(cmd);
        ASSERT_EQ(t.make, Result::Ok);
        EXPECT_TRUE(t.exact);
        if (c.permille) {
            EXPECT_LE(t.record.size() * 1000, gz.size() * c.permille + 64000) << t.stats.model;
        }
    }
    EXPECT_GT(ran, 0);
}

TEST(Reconstruction, DamagedRecordsFailCleanly) {
    std::string data = sample().substr(0, 60000);
    std::string z = zlibCompress(data, with(9, 8, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, 31));
    // A record with real corrections: re-split the blocks so they disagree with the model.
    std::string z6 = zlibCompress(data, with(6, 8, Z_DEFAULT_STRATEGY, 4000, Z_SYNC_FLUSH, 31));
    for (const std::string& stream : {z, z6}) {
        RoundTrip t = roundTrip(stream, data, true);
        ASSERT_TRUE(t.exact);
        const std::string& rec = t.record;
        std::vector<std::string> bad;
        for (size_t n : {size_t(0), size_t(5), size_t(23), rec.size() / 2, rec.size() - 1})
            bad.push_back(rec.substr(0, n));
        for (size_t i = 0; i < rec.size(); i += 1 + rec.size() / 40) {
            std::string r = rec;
            r[i] = char(r[i] ^ (1 << (i % 8)));
            bad.push_back(r);
        }
        bad.push_back(rec + std::string(100, '\xff'));
        int refused = 0;
        for (const std::string& r : bad) {
            recon::MemorySource rs(r), ds(data);
            std::string out;
            recon::StringSink os(out);
            Result res = recon::rebuildGzip(rs, ds, os);
            // An error, or bytes (right or wrong: the digest check decides), never unbounded.
            if (res != Result::Ok) ++refused;
            EXPECT_LE(out.size(), stream.size() + 1024 * 1024);
        }
        EXPECT_GT(refused, 0);
        // Truncations are always detected.
        for (size_t n : {size_t(0), size_t(10), rec.size() / 2}) {
            std::string r = rec.substr(0, n), out;
            recon::MemorySource rs(r), ds(data);
            recon::StringSink os(out);
            EXPECT_NE(recon::rebuildGzip(rs, ds, os), Result::Ok);
        }
    }
}

TEST(Reconstruction, WrongDataOrNoDeflateIsRefused) {
    std::string data = sample().substr(0, 20000);
    std::string z = zlibCompress(data, with(6, 8, Z_DEFAULT_STRATEGY, 0, Z_NO_FLUSH, 31));
    std::string other = data;
    other[12345] ^= 1;
    EXPECT_EQ(roundTrip(z, other, true).make, Result::DataMismatch);
    EXPECT_EQ(roundTrip(z, data + "x", true).make, Result::DataMismatch);
    EXPECT_EQ(roundTrip("not gzip at all", data, true).make, Result::BadStream);
    EXPECT_EQ(roundTrip(z.substr(0, z.size() / 2), data, true).make, Result::BadStream);
    // The record of a raw stream does not pass as a gzip one.
    std::string raw = zlibCompress(data, with(6));
    RoundTrip t = roundTrip(raw, data, false);
    ASSERT_TRUE(t.exact);
    recon::MemorySource rs(t.record), ds(data);
    std::string out;
    recon::StringSink os(out);
    EXPECT_EQ(recon::rebuildGzip(rs, ds, os), Result::BadCorrections);
}

namespace {
// The data and record of a published version-1 record: made by the first
// release of the engine for a zlib stream (level 6, run-length strategy, gzip
// wrapper, a sync flush every 5000 bytes) of 9796 bytes, CRC-32 75f77b29.
std::string version1Data() {
    return testsupport::sourceLikeText(12000, 31) + std::string(700, 'z') +
           testsupport::sourceLikeText(6000, 32);
}
std::string version1Record() {
    const char* hex =
        "504b44460101000f0400040004000800fa7e0010ff3f000000110f4584000000"
        "000002019e486069c47ffffe75ea2a051cbe9df7c9ddd3b6582a58968ecd601d"
        "9787b37b26eb62d5d4c0ec4dc269d23bc86589610619b65277cc3be5555db254"
        "b0dc158a942ac04502d167fe179bf66926cd1d9c606ca73c695a815b41f69b93"
        "603886a045704b39cd893f92684da21f0987983779b4d0c49fe735915fc5e51a"
        "851d1143d72dac4a1d064c177c2f45dc504ec721f760e7f8dc68370ee59fb5a0"
        "77845e5d56105b2865562746cc8d341732aea36c484e3847d1c49734a7baa530"
        "7e9d1ceaf3165dddede19e7438db930c1a28f732c49bbc59c8136900";
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2) out.push_back(char(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return out;
}
Result rebuildRecord(const std::string& record, const std::string& data, std::string& out) {
    recon::MemorySource rs(record), ds(data);
    recon::StringSink os(out);
    return recon::rebuildGzip(rs, ds, os);
}
}  // namespace

TEST(Reconstruction, PublishedVersion1RecordStillRebuildsExactly) {
    std::string rec = version1Record(), data = version1Data(), out;
    ASSERT_EQ(rec.size(), 252u);
    ASSERT_EQ(rec[4], 1);
    ASSERT_EQ(rebuildRecord(rec, data, out), Result::Ok);
    EXPECT_EQ(out.size(), 9796u);
    EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())), 0x75f77b29u);
    std::string check;
    ASSERT_TRUE(zlibInflate(out, 31, check));
    EXPECT_EQ(check, data);
}

TEST(Reconstruction, RecordVersionsAndSettingsNotKnownAreRefused) {
    std::string v1 = version1Record(), data = version1Data();
    // Version 2: four more setting bytes after the version-1 ones.
    auto v2 = [&](uint8_t minMatch, uint8_t hashMode, uint8_t flags, uint8_t reserved) {
        std::string r = v1.substr(0, 24);
        r[4] = 2;
        r += std::string{char(minMatch), char(hashMode), char(flags), char(reserved)};
        return r + v1.substr(24);
    };
    // A later version is told apart from a damaged record: the applier asks for an upgrade.
    for (uint8_t version : {3, 255}) {
        std::string r = v1, out;
        r[4] = char(version);
        EXPECT_EQ(rebuildRecord(r, data, out), Result::NewerRecord);
        EXPECT_TRUE(out.empty());
    }
    const std::string bad[] = {
        [&] { std::string r = v1; r[4] = 0; return r; }(),
        v2(5, 0, 0, 0), v2(2, 0, 0, 0), v2(4, 3, 0, 0), v2(4, 1, 4, 0), v2(4, 1, 0, 1), v1.substr(0, 24) + std::string(1, '\2'),
    };
    for (const std::string& r : bad) {
        std::string out;
        EXPECT_EQ(rebuildRecord(r, data, out), Result::BadCorrections);
        EXPECT_TRUE(out.empty());
    }
}
