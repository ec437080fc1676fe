// The encoder search finds settings that make the package body exactly, and
// the rebuild puts the same bytes back: for zlib settings across the range,
// for GNU gzip --rsyncable and for pigz (where installed).
#include <gtest/gtest.h>

#include <zlib.h>

#include "gzip/gzip.h"
#include "zlib_gzip.h"
#include "runtime/runtime.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// Searches, checks the family, rebuilds and compares with the package.
void expectRoundTrip(const ScratchDir& dir, GzipEncoderFamily family, GzipEncoderMatch& match) {
    ASSERT_EQ(findGzipEncoder(dir / "pkg.tar", dir / "pkg.tar.gz", match), GZIP_SEARCH_FOUND);
    EXPECT_EQ(match.family, family);
    std::string program;
    ASSERT_EQ(rebuildGzip(match.family, match.params, match.header, match.after, dir / "pkg.tar",
                          dir / "rebuilt.gz", program),
              GZIP_REBUILT);
    EXPECT_TRUE(readFile(dir / "rebuilt.gz") == readFile(dir / "pkg.tar.gz"));
}

struct ZlibCase {
    ZlibSettings settings;
    const char* name;
    uLong mtime;
    int os;
};

class ZlibSearch : public ::testing::TestWithParam<ZlibCase> {};

TEST_P(ZlibSearch, FindsSettingsAndRebuildsTheSameBytes) {
    ScratchDir dir;
    const ZlibCase& c = GetParam();
    std::string tar = sourceLikeText(300 * 1024, 7);
    writeFile(dir / "pkg.tar", tar);
    writeFile(dir / "pkg.tar.gz", zlibGzip(tar, c.settings, c.name, c.mtime, c.os));
    GzipEncoderMatch match;
    expectRoundTrip(dir, GZIP_ENCODER_ZLIB, match);
    ZlibSettings found;
    ASSERT_TRUE(decodeZlibParams(match.params, found));
    // An equivalent setting may come first; the level under Huffman-only
    // and RLE does not count.
    EXPECT_EQ(found.strategy, c.settings.strategy);
    EXPECT_EQ(found.memLevel, c.settings.memLevel);
    if (c.settings.strategy < 2) {
        EXPECT_EQ(found.level, c.settings.level);
        EXPECT_EQ(found.windowBits, c.settings.windowBits);
    }
    EXPECT_EQ(match.header, readFile(dir / "pkg.tar.gz").substr(0, match.header.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, ZlibSearch,
    ::testing::Values(ZlibCase{{6, 8, 0, 15}, "", 0, 3}, ZlibCase{{9, 8, 0, 15}, "pkg.tar", 1700000000, 255},
                      ZlibCase{{1, 8, 0, 15}, "", 0, 19}, ZlibCase{{6, 9, 0, 15}, "", 0, 3},
                      ZlibCase{{5, 3, 1, 12}, "", 0, 3}, ZlibCase{{3, 1, 0, 9}, "", 12345, 0},
                      ZlibCase{{6, 8, 2, 15}, "", 0, 3}, ZlibCase{{6, 7, 3, 15}, "", 0, 3},
                      ZlibCase{{8, 8, 4, 14}, "x", 0, 3}));

TEST(ZlibSearch, BytesAfterTheBodyComeBackUpToTheLimit) {
    ScratchDir dir;
    std::string tar = sourceLikeText(50 * 1024, 3);
    writeFile(dir / "pkg.tar", tar);
    writeFile(dir / "pkg.tar.gz", zlibGzip(tar, {6, 8, 0, 15}, "", 0, 3) + std::string(512, '\0'));
    GzipEncoderMatch match;
    expectRoundTrip(dir, GZIP_ENCODER_ZLIB, match);
    EXPECT_EQ(match.after.size(), 512u);

    writeFile(dir / "pkg.tar.gz", zlibGzip(tar, {6, 8, 0, 15}, "", 0, 3) +
                                      std::string(GZIP_AFTER_LIMIT + 1, '\0'));
    EXPECT_EQ(findGzipEncoder(dir / "pkg.tar", dir / "pkg.tar.gz", match), GZIP_SEARCH_TRAILING);
}

TEST(ZlibSearch, RefusesWhatItCannotRebuild) {
    ScratchDir dir;
    std::string tar = sourceLikeText(40 * 1024, 5);
    writeFile(dir / "pkg.tar", tar + tar);
    std::string member = zlibGzip(tar, {6, 8, 0, 15}, "", 0, 3);
    GzipEncoderMatch match;
    writeFile(dir / "pkg.tar.gz", member + member);
    EXPECT_EQ(findGzipEncoder(dir / "pkg.tar", dir / "pkg.tar.gz", match), GZIP_SEARCH_MEMBERS);
    writeFile(dir / "pkg.tar.gz", member.substr(0, member.size() - 4));
    EXPECT_EQ(findGzipEncoder(dir / "pkg.tar", dir / "pkg.tar.gz", match), GZIP_SEARCH_UNREADABLE);
    writeFile(dir / "pkg.tar.gz", "not gzip at all");
    EXPECT_EQ(findGzipEncoder(dir / "pkg.tar", dir / "pkg.tar.gz", match), GZIP_SEARCH_UNREADABLE);
    // Deflate data that no encoder here makes: the right content, but the
    // level changed half way.
    writeFile(dir / "pkg.tar", tar);
    writeFile(dir / "pkg.tar.gz", zlibGzip(tar, {6, 8, 0, 15}, "", 0, 3, 1));
    EXPECT_EQ(findGzipEncoder(dir / "pkg.tar", dir / "pkg.tar.gz", match), GZIP_SEARCH_NOT_FOUND);
}

TEST(ProgramSearch, GnuGzipRsyncableAtEachLevel) {
    ScratchDir dir;
    // Long enough for several rsyncable resets.
    writeFile(dir / "pkg.tar", sourceLikeText(200 * 1024, 11));
    for (int level : {9, 6, 1}) {
        SCOPED_TRACE(level);
        ASSERT_EQ(runShell("gzip -n --rsyncable -" + std::to_string(level) +
                           " < pkg.tar > pkg.tar.gz", dir.path()).status, 0);
        GzipEncoderMatch match;
        expectRoundTrip(dir, GZIP_ENCODER_RSYNCABLE, match);
        EXPECT_EQ(match.params, rsyncableParams(level));
    }
}

TEST(ProgramSearch, PigzSettings) {
    discoverPigz();
    if (pigzPath().empty()) GTEST_SKIP() << "pigz is not installed";
    ScratchDir dir;
    writeFile(dir / "pkg.tar", sourceLikeText(600 * 1024, 13));
    const PigzSettings cases[] = {{6, 128, false, false}, {9, 64, false, false},
                                  {6, 128, true, false}, {4, 256, false, true}};
    for (const PigzSettings& s : cases) {
        SCOPED_TRACE(pigzArguments(s));
        ASSERT_EQ(runShell("pigz " + pigzArguments(s) + " < pkg.tar > pkg.tar.gz", dir.path()).status,
                  0);
        GzipEncoderMatch match;
        expectRoundTrip(dir, GZIP_ENCODER_PIGZ, match);
        PigzSettings found;
        ASSERT_TRUE(decodePigzParams(match.params, found));
        EXPECT_EQ(found.level, s.level);
        EXPECT_EQ(found.independent, s.independent);
        EXPECT_EQ(found.rsyncable, s.rsyncable);
    }
}

}  // namespace
