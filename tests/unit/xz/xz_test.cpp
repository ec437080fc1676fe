// xz: unpacking, reading the stream structure, and finding the settings
// that made packages with the xz program.
#include <gtest/gtest.h>

#include <string>

#include "runtime/runtime.h"
#include "test_support.h"
#include "xz/xz.h"

using namespace testsupport;

namespace {

class XzTest : public testing::Test {
protected:
    ScratchDir dir;
    std::string tarPath = dir / "plain.tar";

    void SetUp() override { writeFile(tarPath, sourceLikeText(400000, 15)); }

    std::string makeXz(const std::string& options, const std::string& name = "p.tar.xz") {
        std::string out = dir / name;
        RunResult r = runShell("xz " + options + " -c < " + shellQuote(tarPath) + " > " +
                               shellQuote(out));
        EXPECT_EQ(0, r.status) << r.err;
        return out;
    }
};

}  // namespace

TEST_F(XzTest, FindsTheSettingsOfTheXzProgram) {
    struct Case {
        const char* options;
        uint32_t preset;
        bool extreme;
        bool multithreaded;
        uint64_t blockSize = 0;
    } cases[] = {
        {"-0", 0, false, false},         {"-1", 1, false, false},
        {"-2", 2, false, false},         {"-3", 3, false, false},
        {"-4", 4, false, false},         {"-5", 5, false, false},
        {"-6", 6, false, false},         {"-7", 7, false, false},
        {"-8", 8, false, false},         {"-9", 9, false, false},
        {"-6e", 6, true, false},         {"-9e", 9, true, false},
        {"-1 --check=crc32", 1, false, false},
        {"-1 --check=sha256", 1, false, false},
        {"-1 --check=none", 1, false, false},
        {"-T2 -6", 6, false, true},      {"-T2 -1 --block-size=100000", 1, false, true, 100000},
        {"-T2 -3e --block-size=250000", 3, true, true, 250000},
        // Single-threaded with a block size: several blocks, no sizes in
        // their headers.
        {"-T1 -2 --block-size=150000", 2, false, false, 150000},
        {"-T1 -6e --block-size=100000 --check=crc32", 6, true, false, 100000},
        // A memory limit shrinks the dictionary to preset 2's.
        {"-6 --memlimit-compress=30MiB", 6, false, false},
    };
    for (const Case& c : cases) {
        std::string package = makeXz(c.options);
        XzSettings found;
        int tried = 0;
        ASSERT_TRUE(xzFindSettings(tarPath, package, found, &tried)) << c.options;
        EXPECT_EQ(c.preset, found.preset) << c.options;
        EXPECT_EQ(c.extreme, found.extreme) << c.options;
        EXPECT_EQ(c.multithreaded, found.multithreaded) << c.options;
        EXPECT_EQ(c.blockSize, found.blockSize) << c.options;
        EXPECT_EQ(1, tried) << c.options << ": the probe should pick the right candidate first";

        // The found settings rebuild the package byte for byte.
        std::string rebuilt = dir / "rebuilt.xz";
        FileSink sink(rebuilt);
        ASSERT_TRUE(xzCompress(tarPath, found, sink)) << c.options;
        EXPECT_TRUE(readFile(package) == readFile(rebuilt)) << c.options;
    }
}

TEST_F(XzTest, ReadsTheCheckBlocksAndSizes) {
    XzStreamInfo info;
    ASSERT_TRUE(readXzStreamInfo(makeXz("-T2 -2 --check=sha256 --block-size=150000"), info));
    EXPECT_TRUE(info.singleStream);
    EXPECT_EQ(10u, info.check);
    EXPECT_TRUE(info.lzma2Only);
    EXPECT_EQ(2u << 20, info.dictSize);
    EXPECT_TRUE(info.sizesInHeaders);
    EXPECT_EQ(3u, info.blockCount);
    EXPECT_EQ(150000u, info.firstBlockUncompressed);
    EXPECT_TRUE(info.uniformBlocks);
    EXPECT_EQ(400000u, info.uncompressedSize);

    ASSERT_TRUE(readXzStreamInfo(makeXz("-9 --check=crc32"), info));
    EXPECT_EQ(1u, info.check);
    EXPECT_EQ(64u << 20, info.dictSize);
    EXPECT_FALSE(info.sizesInHeaders);
    EXPECT_EQ(1u, info.blockCount);
}

TEST_F(XzTest, MultithreadedOutputDoesNotDependOnTheThreadCount) {
    // -T1 is the single-threaded encoder, which writes no sizes in its
    // block headers; the multi-threaded one (-T+1 is one thread of it)
    // gives the same output whatever the thread count.
    std::string two = readFile(makeXz("-T2 -1 --block-size=100000", "t2.xz"));
    for (const char* threads : {"-T+1", "-T3", "-T8"})
        EXPECT_TRUE(two == readFile(makeXz(std::string(threads) + " -1 --block-size=100000", "tn.xz")))
            << threads;
}

TEST_F(XzTest, NoCandidateForOtherFilterChainsOrSeveralStreams) {
    XzStreamInfo info;
    ASSERT_TRUE(readXzStreamInfo(makeXz("--x86 --lzma2"), info));
    EXPECT_FALSE(info.lzma2Only);
    EXPECT_TRUE(xzCandidates(info).empty());
    XzSettings found;
    EXPECT_FALSE(xzFindSettings(tarPath, dir / "p.tar.xz", found));

    std::string twice = makeXz("-1", "a.xz");
    runShell("cat " + shellQuote(twice) + " " + shellQuote(twice) + " > " +
             shellQuote(dir / "two.xz"));
    EXPECT_FALSE(readXzStreamInfo(dir / "two.xz", info));
    EXPECT_FALSE(info.singleStream);
    EXPECT_FALSE(xzFindSettings(tarPath, dir / "two.xz", found));
}

TEST_F(XzTest, UnpacksSeveralStreamsLeavesTrailingBytesAndRefusesDamage) {
    std::string package = makeXz("-1");
    std::string bytes = readFile(package);
    std::string tar = readFile(tarPath);
    struct Case {
        const char* name;
        std::string content;
        bool ok;
        std::string expected;
    } cases[] = {
        {"whole", bytes, true, tar},
        {"two streams", bytes + bytes, true, tar + tar},
        {"stream padding", bytes + std::string(8, '\0'), true, tar},
        {"truncated", bytes.substr(0, bytes.size() / 2), false, ""},
        {"no footer", bytes.substr(0, bytes.size() - 4), false, ""},
        {"flipped byte", bytes.substr(0, 500) + char(bytes[500] ^ 0x40) + bytes.substr(501), false, ""},
        {"trailing garbage", bytes + "garbage", true, tar},
        {"padding, then garbage", bytes + std::string(4, '\0') + "garbage", true, tar},
        {"truncated second stream", bytes + bytes.substr(0, 100), false, ""},
        {"empty", "", false, ""},
    };
    for (const Case& c : cases) {
        writeFile(dir / "in.xz", c.content);
        bool ok = xzDecompress(dir / "in.xz", dir / "out.tar");
        EXPECT_EQ(c.ok, ok) << c.name;
        if (c.ok && ok) {
            EXPECT_EQ(c.expected, readFile(dir / "out.tar")) << c.name;
        }
    }
    EXPECT_FALSE(xzDecompress(dir / "missing.xz", dir / "out.tar"));
}

TEST(XzParams, RoundTrip) {
    XzSettings settings;
    settings.preset = 9;
    settings.extreme = true;
    settings.check = 10;
    settings.multithreaded = true;
    XzSettings back = xzSettingsFromParams(xzSettingsToParams(settings));
    EXPECT_EQ(9u, back.preset);
    EXPECT_TRUE(back.extreme);
    EXPECT_EQ(10u, back.check);
    EXPECT_TRUE(back.multithreaded);
    EXPECT_EQ(0x1A19u, xzSettingsToParams(settings));
    EXPECT_EQ(0, xzLibraryVersion().rfind("liblzma 5.", 0));
}
