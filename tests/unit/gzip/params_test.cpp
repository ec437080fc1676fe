// Parameter words, candidate lists, header hints and the pigz listing.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "gzip/gzip.h"
#include "runtime/runtime.h"
#include "test_support.h"
#include "zlib_gzip.h"

using namespace testsupport;

namespace {

TEST(GzipParams, WordsRoundTripAndOddWordsDoNotDecode) {
    ZlibSettings z{9, 7, 3, 11}, zBack;
    ASSERT_TRUE(decodeZlibParams(zlibParams(z), zBack));
    EXPECT_EQ(std::tie(zBack.level, zBack.memLevel, zBack.strategy, zBack.windowBits),
              std::tie(z.level, z.memLevel, z.strategy, z.windowBits));
    PigzSettings p{4, 1024, true, true}, pBack;
    ASSERT_TRUE(decodePigzParams(pigzParams(p), pBack));
    EXPECT_EQ(std::tie(pBack.level, pBack.blockKiB, pBack.independent, pBack.rsyncable),
              std::tie(p.level, p.blockKiB, p.independent, p.rsyncable));
    int level = 0;
    EXPECT_TRUE(decodeRsyncableParams(rsyncableParams(9), level));
    EXPECT_EQ(level, 9);

    for (uint32_t bad : {0u, zlibParams(z) | 0x10000u, 0x0F86u, 0x8080u, 0x9A86u, 0x8086u | 0x500u})
        EXPECT_FALSE(decodeZlibParams(bad, zBack)) << std::hex << bad;
    for (uint32_t bad : {0u, 10u, 0x100u | 5u})
        EXPECT_FALSE(decodeRsyncableParams(bad, level)) << bad;
    for (uint32_t bad : {pigzParams(p) | 0x40u, pigzParams(p) | 0x1000000u, 0x1006u, 0x8000u})
        EXPECT_FALSE(decodePigzParams(bad, pBack)) << std::hex << bad;
}

TEST(GzipCandidates, EverySettingOnceAndTheHintedLevelFirst) {
    std::set<uint32_t> seen;
    std::vector<ZlibSettings> all = zlibCandidates(GzipHeaderHints{});
    for (const ZlibSettings& s : all) EXPECT_TRUE(seen.insert(zlibParams(s)).second);
    // default and fixed at every level, filtered at 4-9, one level for
    // Huffman-only and RLE; 9 memLevels, 7 window sizes.
    EXPECT_EQ(all.size(), (9u + 9u + 6u + 1u + 1u) * 9u * 7u);
    EXPECT_EQ(zlibParams(all.front()), zlibParams({6, 8, 0, 15}));
    GzipHeaderHints slowest;
    slowest.xfl = 2;
    EXPECT_EQ(zlibCandidates(slowest).front().level, 9);
    GzipHeaderHints fastest;
    fastest.xfl = 4;
    EXPECT_EQ(zlibCandidates(fastest).front().level, 1);
    EXPECT_EQ(pigzCandidates(slowest).front().level, 9);
    EXPECT_EQ(pigzCandidates(GzipHeaderHints{}).size(), 3u * 8u * 9u);
}

TEST(GzipHeader, HintsAndLayout) {
    std::string header("\x1f\x8b\x08\x08\x01\x00\x00\x00\x02\x03name\0", 15);
    GzipHeaderHints h = headerHints(header);
    EXPECT_EQ(h.xfl, 2);
    EXPECT_EQ(h.os, 3);
    EXPECT_TRUE(h.hasMtime);
    EXPECT_TRUE(h.hasName);

    ScratchDir dir;
    writeFile(dir / "t", "hello hello hello");
    ASSERT_EQ(runShell("gzip -c t > t.gz && printf 'xy' >> t.gz", dir.path()).status, 0);
    GzipLayout layout;
    ASSERT_TRUE(readGzipLayout(dir / "t.gz", layout));
    EXPECT_EQ(layout.header.size(), 12u);  // fixed part and "t\0"
    EXPECT_EQ(layout.afterLength, 2u);
    EXPECT_FALSE(layout.severalMembers);
    EXPECT_EQ(layout.afterOffset + 2, readFile(dir / "t.gz").size());
}

TEST(PigzDiscovery, ReadsTheFirstPigzOfAListing) {
    ScratchDir dir;
    writeFile(dir / "listing", "/opt/a/pigz\nunpigz 2.6\n/opt/b/pigz\npigz 2.8\n/opt/c/pigz\npigz 2.4\n");
    ASSERT_TRUE(readPigzListing(dir / "listing"));
    EXPECT_EQ(pigzPath(), "/opt/b/pigz");
    EXPECT_FALSE(readPigzListing(dir / "missing"));
}

}  // namespace

namespace {

// The evidence from the first blocks never rules out the setting that made
// them, and it rules out much.
TEST(DeflateEvidence, KeepsTheMakingSettingAndRulesOutOthers) {
    ScratchDir dir;
    std::string data = sourceLikeText(400 * 1024, 21);
    const ZlibSettings made[] = {{6, 5, 0, 15}, {9, 8, 1, 13}, {6, 9, 3, 15}};
    for (const ZlibSettings& s : made) {
        SCOPED_TRACE(zlibParams(s));
        writeFile(dir / "t.gz", zlibGzip(data, s));
        GzipLayout layout;
        ASSERT_TRUE(readGzipLayout(dir / "t.gz", layout));
        std::vector<DeflateBlock> blocks;
        ASSERT_TRUE(scanDeflateBlocks(dir / "t.gz", layout.bodyOffset, layout.bodyLength - 8, 1000,
                                      blocks));
        ASSERT_TRUE(blocks.back().final);
        uint64_t total = 0;
        for (const DeflateBlock& b : blocks) total += b.uncompressed;
        EXPECT_EQ(total, data.size());
        DeflateEvidence e = deflateEvidence(blocks, true);
        EXPECT_EQ(e.memLevel, s.memLevel);
        std::vector<ZlibSettings> left = zlibCandidates(GzipHeaderHints{}, e);
        EXPECT_LT(left.size(), 120u);
        bool kept = false;
        for (const ZlibSettings& c : left) kept = kept || zlibParams(c) == zlibParams(s);
        EXPECT_TRUE(kept);
    }
    // GNU gzip's blocks hold other symbol counts than zlib's.
    writeFile(dir / "t", data);
    ASSERT_EQ(runShell("gzip -n -6 < t > t.gz", dir.path()).status, 0);
    GzipLayout layout;
    ASSERT_TRUE(readGzipLayout(dir / "t.gz", layout));
    std::vector<DeflateBlock> blocks;
    ASSERT_TRUE(scanDeflateBlocks(dir / "t.gz", layout.bodyOffset, layout.bodyLength - 8, 1000,
                                  blocks));
    DeflateEvidence e = deflateEvidence(blocks, true);
    EXPECT_TRUE(e.farMatches);
    EXPECT_TRUE(e.dynamicBlocks);
}

}  // namespace
