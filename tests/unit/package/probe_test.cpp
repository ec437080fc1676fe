// The compression probes skip only attempts that would fail: the level,
// fixup and release bits chosen are the same with and without them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "driver/driver.h"
#include "make/make.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "private_path.h"
#include "runtime/runtime.h"
#include "setting_guards.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// Small probe sizes, so that tars of a few hundred KiB take the probe path.
struct SmallProbes {
    SavedProbeSettings saved;
    SmallProbes() { probeSettings.gzipInput = 256 * 1024; }
};

// A tar-sized file of real source text (this project's own), repeated with
// small edits: it compresses like the packages pakrev meets.
std::string makeTar(const ScratchDir& dir, size_t bytes) {
    std::string sources = runShell("cat src/*/*.cpp src/*/*.h", sourceDir()).out;
    std::string text;
    for (unsigned i = 0; text.size() < bytes; ++i) {
        std::string copy = sources;
        for (size_t at = i * 977 % 5000; at + 8 < copy.size(); at += 7919) copy.replace(at, 4, std::to_string(i % 10000));
        text += copy;
    }
    text.resize(bytes);
    writeFile(dir / "pkg.tar", text);
    return dir / "pkg.tar";
}

struct LevelOutcome {
    int level;
    std::string fixup;
};

// The delta tool records the name of the file it started from, so both
// searches use the same scratch and fixup names.
LevelOutcome searchLevel(const std::string& tar, const std::string& package, bool probes) {
    static const std::string scratch = newTempName(), fixup = newTempName();
    SavedProbeSettings saved;
    probeSettings.enabled = probes;
    LevelOutcome outcome;
    outcome.level = findGzipLevel(tar, package, scratch, fixup, false);
    outcome.fixup = readFile(fixup);
    return outcome;
}

TEST(GzipProbe, SameLevelAndFixupWithAndWithoutProbes) {
    SmallProbes small;
    ScratchDir dir;
    std::string tar = makeTar(dir, 1024 * 1024);
    int ruledOut = 0;
    for (int level : {1, 4, 6, 9}) {
        SCOPED_TRACE(level);
        std::string package = dir / ("pkg" + std::to_string(level) + ".tar.gz");
        runShell("gzip -n -" + std::to_string(level) + " -c " + shellQuote(tar) + " > " + shellQuote(package));
        LevelOutcome full = searchLevel(tar, package, false);
        LevelOutcome probed = searchLevel(tar, package, true);
        EXPECT_EQ(probed.level, full.level);
        EXPECT_EQ(probed.fixup, full.fixup);
        for (const char* d = GZIP_LEVEL_ORDER; *d != '0' + full.level; ++d)
            ruledOut += gzipProbeRulesOut(tar, package, *d, false);
        // The level that is chosen never fails its own probe.
        EXPECT_FALSE(gzipProbeRulesOut(tar, package, static_cast<char>('0' + full.level), false));
    }
    EXPECT_GE(ruledOut, 8) << "the probes hardly ever skip a level";
}

TEST(GzipProbe, SmallTarsAndOddPackagesTakeTheFullPath) {
    SmallProbes small;
    ScratchDir dir;
    std::string tar = makeTar(dir, 400 * 1024);  // below two probe inputs
    runShell("gzip -n -9 -c " + shellQuote(tar) + " > " + shellQuote(dir / "p.gz"));
    EXPECT_FALSE(gzipProbeRulesOut(tar, dir / "p.gz", '1', false));
    writeFile(dir / "notgzip", "plain text, no gzip header");
    std::string big = makeTar(dir, 1024 * 1024);
    EXPECT_FALSE(gzipProbeRulesOut(big, dir / "notgzip", '1', false));
}

TEST(GzipProbe, AnotherCompressorIsStillUnknown) {
    SmallProbes small;
    ScratchDir dir;
    std::string tar = makeTar(dir, 1024 * 1024);
    std::string package = dir / "rsync.tar.gz";
    // --rsyncable cuts the deflate stream where plain gzip does not.
    runShell("gzip -n -9 --rsyncable -c " + shellQuote(tar) + " > " + shellQuote(package));
    for (bool probes : {false, true}) {
        SavedProbeSettings saved;
        probeSettings.enabled = probes;
        EXPECT_EXIT(findGzipLevel(tar, package, newTempName(), newTempName(), false),
                    testing::ExitedWithCode(1), "error: Unknown gzip compression format\n");
    }
}

TEST(GzipProbe, HeaderLengthOfPublishedPackages) {
    ScratchDir dir;
    writeFile(dir / "data", "some data");
    runShell("gzip -c " + shellQuote(dir / "data") + " > " + shellQuote(dir / "named.gz"), "");
    runShell("gzip -n -c < " + shellQuote(dir / "data") + " > " + shellQuote(dir / "plain.gz"));
    std::string withName = readFile(dir / "named.gz");
    EXPECT_EQ(gzipHeaderLength(dir / "plain.gz"), 10);
    EXPECT_EQ(gzipHeaderLength(dir / "named.gz"), 10 + 5);  // "data" and its zero byte
    // Extra field, name, comment and header CRC, in the order gzip writes them.
    std::string header = std::string("\x1f\x8b\x08\x1e\0\0\0\0\0\x03", 10) + std::string("\x03\x00xyz", 5) +
                         std::string("n\0", 2) +
                         std::string("comment\0", 8) + "cc";
    writeFile(dir / "flags.gz", header + "rest");
    EXPECT_EQ(gzipHeaderLength(dir / "flags.gz"), static_cast<int64_t>(header.size()));
    writeFile(dir / "cut.gz", header.substr(0, 17));
    EXPECT_EQ(gzipHeaderLength(dir / "cut.gz"), -1);
}

// bzip2 releases on a private PATH: a faithful one (1.0.8), one whose output
// differs from the first block on (1.0.6 writes block size 1 whatever it is
// asked), and one that matches in the first block but not later (1.0.5
// appends a byte).
class Bzip2ProbeTest : public ::testing::Test {
protected:
    ScratchDir fake, dir;
    void SetUp() override {
        writeFakeBzip2(fake / "bzip2", "1.0.8");
        writeFakeBzip2(fake / "bzip2-106", "1.0.6", "exec /bin/bzip2 -1");
        writeFakeBzip2(fake / "bzip2-105", "1.0.5", "/bin/bzip2 \"$@\"; printf x");
    }
};

TEST_F(Bzip2ProbeTest, SameReleaseBitsWithAndWithoutProbes) {
    std::string tar = makeTar(dir, 900 * 1024);  // over four blocks of 100k
    runShell("/bin/bzip2 -2 -c " + shellQuote(tar) + " > " + shellQuote(dir / "pkg.tar.bz2"));
    PrivatePath path({fake.path()});
    // Discovery and the trials run in a child, which keeps the slot table of
    // this process as it was.
    EXPECT_EXIT(
        {
            discoverBzip2();
            uint32_t full;
            {
                SavedProbeSettings saved;
                probeSettings.enabled = false;
                full = testBzip2Releases(tar, dir / "pkg.tar.bz2", 2, newTempName());
            }
            uint32_t probed = testBzip2Releases(tar, dir / "pkg.tar.bz2", 2, newTempName());
            uint32_t expected = BZIP2_TESTED(4) | BZIP2_TESTED(5) | BZIP2_TESTED(7) | BZIP2_WORKS(7);
            bool ruledOut6 = bzip2ProbeRulesOut(bzip2SlotPath(5), 2, tar, dir / "pkg.tar.bz2");
            bool ruledOut5 = bzip2ProbeRulesOut(bzip2SlotPath(4), 2, tar, dir / "pkg.tar.bz2");
            bool ruledOut8 = bzip2ProbeRulesOut(bzip2SlotPath(7), 2, tar, dir / "pkg.tar.bz2");
            fprintf(stderr, "%s %s %d%d%d", full == expected ? "full-ok" : "full-BAD",
                    probed == full ? "probed-same" : "probed-DIFFERENT", ruledOut6, ruledOut5, ruledOut8);
            _exit(0);
        },
        testing::ExitedWithCode(0), "full-ok probed-same 100");
}

TEST_F(Bzip2ProbeTest, SmallTarsAreNotProbed) {
    std::string tar = makeTar(dir, 300 * 1024);  // under four blocks of 100k
    runShell("/bin/bzip2 -1 -c " + shellQuote(tar) + " > " + shellQuote(dir / "pkg.tar.bz2"));
    EXPECT_FALSE(bzip2ProbeRulesOut(fake / "bzip2-106", 1, tar, dir / "pkg.tar.bz2"));
}

}  // namespace
