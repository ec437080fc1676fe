// Headerless gzip recompression and the gzip level search, with the real GNU
// gzip and with look-alike programs on a private PATH.
#include <gtest/gtest.h>

#include <string>

#include "delta/delta.h"
#include "driver/driver.h"
#include "package/package.h"
#include "private_path.h"
#include "runtime/runtime.h"
#include "setting_guards.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// A small tar of source-like text and some incompressible bytes.
std::string makeTar(const ScratchDir& dir) {
    writeFile(dir / "main.c", sourceLikeText(60000, 3));
    writeFile(dir / "logo.bin", randomBytes(4000, 4));
    runShell("tar cf pkg.tar main.c logo.bin", dir.path());
    return dir / "pkg.tar";
}

// A gzip header with the given flag byte.
std::string gzipHeader(unsigned char flags) {
    std::string header("\x1f\x8b\x08", 3);
    header += static_cast<char>(flags);
    header += std::string("\0\0\0\0\0\x03", 6);
    return header;
}

// A gzip look-alike that passes discovery and writes the given file whatever
// it is asked to compress.
void writeCannedGzip(const std::string& dir, const std::string& output) {
    writeFile(dir + "/canned", output);
    writeScript(dir + "/gzip", "if [ \"$1\" = -V ]; then echo 'gzip 1.99'; exit 0; fi\n"
                               "cat " + shellQuote(dir + "/canned") + "\n");
}

}  // namespace

TEST(RecompressGzipHeaderless, RealGzipOutputWithoutItsHeader) {
    ScratchDir dir;
    std::string tar = makeTar(dir);
    ASSERT_TRUE(recompressGzipHeaderless(tar, dir / "out", '6'));
    runShell("gzip -6 < pkg.tar > whole.gz", dir.path());
    EXPECT_TRUE(readFile(dir / "out") == readFile(dir / "whole.gz").substr(10));
}

TEST(RecompressGzipHeaderless, SkipsOptionalPartsInFlagOrder) {
    const std::string body = std::string("compressed\0data\x01\x02trailer", 24);
    const std::string extra = std::string(25, '\0') + "x";  // length 25 + one spare byte
    struct Case {
        const char* what;
        std::string written;
        std::string expected;
    } cases[] = {
        {"no flags", gzipHeader(0) + body, body},
        {"name", gzipHeader(0x08) + std::string("pkg.tar\0", 8) + body, body},
        {"comment", gzipHeader(0x10) + std::string("note\0", 5) + body, body},
        {"extra", gzipHeader(0x04) + std::string("\x19\0", 2) + extra.substr(0, 25) + body,
         body},
        {"0x02", gzipHeader(0x02) + "ab" + body, body},
        {"0x20", gzipHeader(0x20) + "ab" + body, body},
        {"all, in flag order",
         gzipHeader(0x3e) + "ab" + std::string("\x03\0", 2) + "xyz" +
             std::string("n\0c\0", 4) + "cd" + body,
         body},
        {"short fixed header", gzipHeader(0).substr(0, 5), ""},
        {"ends in name", gzipHeader(0x08) + "pkg.t", ""},
        {"ends in extra length", gzipHeader(0x04) + "\x05", ""},
        {"extra beyond the end", gzipHeader(0x04) + std::string("\xf4\x01", 2) + body, ""},
        {"ends in 0x20 bytes", gzipHeader(0x20) + "a", ""},
    };
    ScratchDir dir, fake;
    std::string tar = makeTar(dir);
    for (const Case& c : cases) {
        writeCannedGzip(fake.path(), c.written);
        writeFile(dir / "out", "stale output");
        {
            PrivatePath path({fake.path()});
            ASSERT_TRUE(recompressGzipHeaderless(tar, dir / "out", '9')) << c.what;
        }
        EXPECT_TRUE(exists(dir / "out")) << c.what;
        EXPECT_TRUE(readFile(dir / "out") == c.expected) << c.what;
    }
}

// Every level of the real GNU gzip. Odd levels get a package made from a
// file (name and time stored in the header), even levels one made from
// standard input (no name).
class GzipLevelOfGnuGzip : public testing::TestWithParam<int> {};

TEST_P(GzipLevelOfGnuGzip, FoundLevelAndFixupReproduceThePackage) {
    const int level = GetParam();
    const std::string digit(1, static_cast<char>('0' + level));
    ScratchDir dir;
    std::string tar = makeTar(dir);
    bool named = level % 2 == 1;
    runShell(named ? "cp pkg.tar named.tar && gzip -N -" + digit + " named.tar"
                   : "gzip -N -" + digit + " < pkg.tar > piped.tar.gz",
             dir.path());
    std::string package = dir / (named ? "named.tar.gz" : "piped.tar.gz");
    std::string scratch = newTempName(), fixup = newTempName();
    int found = findGzipLevel(tar, package, scratch, fixup, false);
    RecordProperty("found", found);
    ASSERT_GE(found, 1);
    ASSERT_LE(found, 9);
    if (level == 9) {
        EXPECT_EQ(9, found);
    }
    EXPECT_FALSE(exists(scratch));
    EXPECT_LE(fileSize(fixup), FIXUP_LIMIT);

    std::string recompressed = newTempName(), rebuilt = newTempName();
    ASSERT_TRUE(recompressGzipHeaderless(tar, recompressed, static_cast<char>('0' + found)));
    ASSERT_EQ(APPLY_OK, applyDelta(recompressed, rebuilt, fixup));
    EXPECT_TRUE(readFile(rebuilt) == readFile(package)) << "level " << level << " found " << found;
}

INSTANTIATE_TEST_SUITE_P(Levels, GzipLevelOfGnuGzip, testing::Range(1, 10));

TEST(FindGzipLevel, AcceptsOnlyAFreshFixupWithinTheLimit) {
    // A delta-tool look-alike that writes fixups of the listed sizes, one per
    // call ("none": writes nothing).
    struct Case {
        const char* sizes;
        int level;
        int tried;
    } cases[] = {
        {"1025 1024", 6, 2},
        // Levels 9, 6, 8, 7: nothing written (the stale file must not count),
        // an empty file, over the limit by one, far over; then level 1.
        {"none 0 1025 2000 1", 1, 5},
    };
    ScratchDir dir, fake;
    std::string tar = makeTar(dir);
    runShell("gzip -9 < pkg.tar > pkg.tar.gz", dir.path());
    runShell("ln -s " + shellQuote(findOnPath("gzip", getenv("PATH"))) + " gzip", fake.path());
    writeScript(fake / "xdelta",
                "n=$(cat " + shellQuote(fake / "count") + "); n=$((n+1)); echo $n > " +
                    shellQuote(fake / "count") + "\nsize=$(echo $(cat " +
                    shellQuote(fake / "sizes") + ") | tr ' ' '\\n' | sed -n \"${n}p\")\n" +
                    "[ \"$size\" = none ] || head -c \"$size\" /dev/zero > \"$6\"\n");
    for (const Case& c : cases) {
        writeFile(fake / "sizes", c.sizes);
        writeFile(fake / "count", "0");
        std::string scratch = newTempName(), fixup = newTempName();
        writeFile(fixup, "stale");  // small enough, but not written for any level
        PrivatePath path({fake.path()});
        int found = 0;
        std::string out = [&] {
            VerboseSetting verbose;
            fflush(stdout);
            testing::internal::CaptureStdout();
            found = findGzipLevel(tar, dir / "pkg.tar.gz", scratch, fixup, false);
            fflush(stdout);
            return testing::internal::GetCapturedStdout();
        }();
        EXPECT_EQ(c.level, found) << c.sizes;
        int discoveries = 0;
        for (size_t at = out.find("found GNU gzip compressor/decompressor:"); at != std::string::npos;
             at = out.find("found GNU gzip compressor/decompressor:", at + 1))
            ++discoveries;
        EXPECT_EQ(c.tried, discoveries) << c.sizes;
        removeTempFile(fixup);
    }
}

TEST(FindGzipLevel, LongHeaderCommentIsUnknownFormat) {
    ScratchDir dir;
    std::string tar = makeTar(dir);
    runShell("gzip -9 < pkg.tar > plain.gz", dir.path());
    std::string gz = readFile(dir / "plain.gz");
    std::string comment = randomBytes(3000, 5);
    for (char& ch : comment)
        if (ch == '\0') ch = 'c';
    gz[3] = static_cast<char>(gz[3] | 0x10);
    writeFile(dir / "pkg.tar.gz", gz.substr(0, 10) + comment + '\0' + gz.substr(10));
    EXPECT_EXIT(findGzipLevel(tar, dir / "pkg.tar.gz", newTempName(), newTempName(), false),
                testing::ExitedWithCode(1), "error: Unknown gzip compression format");
}

TEST(FindGzipLevel, FailedRecompressionIsNeverAccepted) {
    // The gzip output ends inside its header, so every recompression is
    // empty; a fixup from nothing to this small package would be short.
    ScratchDir dir, fake;
    writeFile(dir / "pkg.tar", sourceLikeText(300, 6));
    runShell("gzip -9 < pkg.tar > pkg.tar.gz", dir.path());
    writeCannedGzip(fake.path(), "\x1f\x8b\x08");
    EXPECT_EXIT(
        {
            PrivatePath path({fake.path()});
            findGzipLevel(dir / "pkg.tar", dir / "pkg.tar.gz", newTempName(), newTempName(),
                          false);
        },
        testing::ExitedWithCode(1), "error: Unknown gzip compression format");
}

TEST(FindGzipLevel, NoGnuGzipOnPath) {
    ScratchDir dir, fake;
    writeFile(dir / "pkg.tar", "tar");
    writeScript(fake / "gzip", "echo 'gzip 2.0'\n");
    EXPECT_EXIT(
        {
            PrivatePath path({fake.path()});
            findGzipLevel(dir / "pkg.tar", dir / "pkg.tar.gz", newTempName(), newTempName(),
                          false);
        },
        testing::ExitedWithCode(1), "error: Can't find GNU gzip");
}
