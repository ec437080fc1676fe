// Compressor discovery against small fake programs on a private PATH, the
// listing reader on odd listings, and the real GNU gzip of this machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "driver/driver.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "private_path.h"
#include "runtime/runtime.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// A bzip2 look-alike whose help text (on standard error) names the release.
void writeFakeBzip2(const std::string& path, const std::string& release) {
    writeScript(path, "echo 'bzip2, a block-sorting file compressor.  Version " + release +
                          ", 6-Sept-2010.' >&2\n"
                          "echo '   usage: bzip2 [flags and input files in any order]' >&2\n");
}

// A gzip look-alike whose -V output starts with the given line.
void writeFakeGzip(const std::string& path, const std::string& versionLine) {
    writeScript(path, "echo '" + versionLine + "'\necho 'Written by nobody.'\n");
}

// Runs the call with -v and returns what it printed.
template <typename Call>
std::string verboseOutput(Call call) {
    options.verbose = true;
    fflush(stdout);
    testing::internal::CaptureStdout();
    call();
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    options.verbose = false;
    return out;
}

}  // namespace

TEST(Bzip2Slots, ReleasesAndPatchBits) {
    const char* releases[BZIP2_SLOT_COUNT] = {"0.9.0c", "1.0.2", "1.0.3", "1.0.4",
                                              "1.0.5",  "1.0.6", "1.0.7", "1.0.8"};
    for (int slot = 0; slot < BZIP2_SLOT_COUNT; ++slot)
        EXPECT_STREQ(releases[slot], bzip2SlotRelease(slot)) << slot;
    EXPECT_STREQ("", bzip2SlotRelease(BZIP2_SLOT_COUNT));
    EXPECT_TRUE(bzip2SlotPath(-1).empty());
    // The two new slots use bits that six-slot readers keep zero.
    EXPECT_EQ(1u << 19, BZIP2_TESTED(6));
    EXPECT_EQ(1u << 18, BZIP2_WORKS(6));
    EXPECT_EQ(1u << 17, BZIP2_TESTED(7));
    EXPECT_EQ(1u << 16, BZIP2_WORKS(7));
}

TEST(DiscoverBzip2, FillsSlotsFromProgramsDirectlyOnPath) {
    ScratchDir dirA, dirB;
    writeFakeBzip2(dirA / "bzip2", "1.0.6");
    writeScript(dirA / "bzip2recover",
                "echo 'bzip2recover 1.0.6: extracts blocks from damaged .bz2 files.' >&2\n");
    // Below a PATH directory: neither listed nor run.
    runShell("mkdir " + shellQuote(dirA / "nested"));
    writeScript(dirA / "nested/bzip2", "touch " + shellQuote(dirA / "nested-ran") +
                                           "\necho 'bzip2, Version 1.0.4, x' >&2\n");
    writeFakeBzip2(dirB / "bzip2", "1.0.6");
    writeFakeBzip2(dirB / "bzip2-1.0.8", "1.0.8");
    writeFakeBzip2(dirB / "BZip2-1.0.2", "1.0.2");
    writeFakeBzip2(dirB / "bzip2-0.9.0c", "0.9.0c");

    std::string out;
    {
        PrivatePath path({dirA.path(), dirB.path()});
        out = verboseOutput(discoverBzip2);
    }
    EXPECT_EQ(dirB / "bzip2", bzip2SlotPath(5));  // the one listed last
    EXPECT_EQ(dirB / "bzip2-1.0.8", bzip2SlotPath(7));
    EXPECT_EQ(dirB / "BZip2-1.0.2", bzip2SlotPath(1));
    EXPECT_TRUE(bzip2SlotPath(0).empty());
    EXPECT_TRUE(bzip2SlotPath(3).empty());
    EXPECT_FALSE(exists(dirA / "nested-ran"));
    EXPECT_EQ("found bzip2 compressors/decompressors:\n  " + (dirB / "BZip2-1.0.2") + "\n  " +
                  (dirB / "bzip2") + "\n  " + (dirB / "bzip2-1.0.8") + "\n",
              out);
}

TEST(DiscoverBzip2, OddListingLinesAreReadSafely) {
    ScratchDir dir;
    writeFile(dir / "earlier", "/opt/bin/bzip2-107\nbzip2, Version 1.0.7, x\n");
    ASSERT_TRUE(readBzip2Listing(dir / "earlier"));
    std::string listing =
        "bzip2, a block-sorting file compressor.  Version 1.0.7, no path line before\n" +
        std::string(600, 'x') + "\n" +
        // "Version" ends the first 253-character piece of this line.
        std::string(246, 'y') + "Version\n" + "Version\n" + "/opt/bin/bzip2-ok\n" +
        "bzip2, a block-sorting file compressor.  Version 1.0.5, 10-Dec-2007.\n";
    writeFile(dir / "listing", listing);
    ASSERT_TRUE(readBzip2Listing(dir / "listing"));
    EXPECT_EQ("/opt/bin/bzip2-107", bzip2SlotPath(6));
    EXPECT_EQ("/opt/bin/bzip2-ok", bzip2SlotPath(4));
    EXPECT_FALSE(readBzip2Listing(dir / "missing"));
}

TEST(DiscoverBzip2, UnreadableListingEndsTheRunQuietly) {
    EXPECT_EXIT(
        {
            // The listing cannot be created once the workspace is gone.
            rmdir(workspacePath().c_str());
            discoverBzip2();
        },
        testing::ExitedWithCode(1), "");
}

TEST(DiscoverBzip2, RealBzip2ReleaseOneZeroEightFillsSlotSeven) {
    RunResult help = runShell("bzip2 -h 2>&1 | grep Version");
    if (help.out.find("Version 1.0.8") == std::string::npos)
        GTEST_SKIP() << "the bzip2 here is not 1.0.8";
    discoverBzip2();
    ASSERT_FALSE(bzip2SlotPath(7).empty());
    EXPECT_NE(std::string::npos,
              runShell(shellQuote(bzip2SlotPath(7)) + " -h 2>&1").out.find("Version 1.0.8"));
}

TEST(DiscoverGzip, OddListingLinesAreReadSafely) {
    ScratchDir dir;
    writeFile(dir / "listing", "gzip 1.10 with no path line before\n/a/gzip\n/b/gzip\ngzip 1.12\n");
    ASSERT_TRUE(readGzipListing(dir / "listing"));
    EXPECT_EQ("/b/gzip", gnuGzipPath());
    EXPECT_FALSE(readGzipListing(dir / "missing"));
}

TEST(DiscoverGzip, GzipThatIsNotOneXIsNotFound) {
    EXPECT_EXIT(
        {
            int code = [] {
                ScratchDir dir;
                writeFakeGzip(dir / "gzip", "gzip 2.0");
                PrivatePath path({dir.path()});
                options.verbose = true;
                fflush(stdout);
                dup2(STDERR_FILENO, STDOUT_FILENO);  // make the -v lines visible here
                discoverGzip();
                options.verbose = false;
                fflush(stdout);
                return gnuGzipPath().empty() ? 0 : 2;
            }();
            exit(code);
        },
        testing::ExitedWithCode(0), "^GNU gzip compressor/decompressor NOT found!\n$");
}

TEST(DiscoverGzip, LaterSearchWithoutFindKeepsEarlierPath) {
    ScratchDir good, bad;
    writeFakeGzip(good / "gzip", "gzip 1.6");
    writeFakeGzip(bad / "gzip", "gzip 2.0");
    writeFakeGzip(bad / "GZIP", "GNU gzip 1.x lookalike");  // grep ^gzip drops it
    {
        PrivatePath path({good.path()});
        discoverGzip();
    }
    ASSERT_EQ(good / "gzip", gnuGzipPath());
    std::string out;
    {
        PrivatePath path({bad.path()});
        out = verboseOutput(discoverGzip);
    }
    EXPECT_EQ(good / "gzip", gnuGzipPath());
    EXPECT_EQ("found GNU gzip compressor/decompressor:\n  " + (good / "gzip") + "\n", out);
}

TEST(DiscoverGzip, FindsTheRealGnuGzip) {
    discoverGzip();
    ASSERT_FALSE(gnuGzipPath().empty());
    EXPECT_EQ(0u, runShell(shellQuote(gnuGzipPath()) + " -V").out.rfind("gzip 1.", 0));
}
