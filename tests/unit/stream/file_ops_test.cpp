// Whole-file operations: existence, size, MD5 digests, bzip2 level digit.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "runtime/runtime.h"
#include "stream/stream.h"
#include "test_support.h"

using namespace testsupport;

namespace {

std::string hex(const Md5Digest& d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

}  // namespace

TEST(FileOps, ExistsAndSize) {
    ScratchDir dir;
    for (size_t size : {0, 1, 4097}) {
        std::string path = dir / ("f" + std::to_string(size));
        writeFile(path, std::string(size, 'z'));
        EXPECT_TRUE(fileExists(path));
        EXPECT_EQ(fileSize(path), size);
        EXPECT_EQ(fileSize64(path), static_cast<int64_t>(size));
    }
    EXPECT_FALSE(fileExists(dir / "missing"));
    EXPECT_FALSE(fileExists(dir / "no/such/dir/file"));
    EXPECT_EQ(fileSize64(dir / "missing"), -1);
}

TEST(FileOps, UnreadableFileDoesNotExist) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
    ScratchDir dir;
    writeFile(dir / "secret", "x");
    chmod((dir / "secret").c_str(), 0);
    EXPECT_FALSE(fileExists(dir / "secret"));
}

// Sizes around the 4096-byte read loop, checked against md5sum.
TEST(FileOps, Md5MatchesMd5sum) {
    ScratchDir dir;
    for (size_t size : {0, 3, 4095, 4096, 4097, 8192, 10000}) {
        std::string path = dir / "data";
        writeFile(path, randomBytes(size, static_cast<unsigned>(size)));
        RunResult r = runShell("md5sum < " + shellQuote(path));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(hex(md5OfFile(path)), r.out.substr(0, 32)) << size << " bytes";
    }
    writeFile(dir / "abc", "abc");
    EXPECT_EQ(hex(md5OfFile(dir / "abc")), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(FileOps, Md5MatchesNoticesEveryByte) {
    ScratchDir dir;
    std::string data = randomBytes(5000, 9);
    std::string path = dir / "pkg";
    writeFile(path, data);
    Md5Digest stored = md5OfFile(path);
    EXPECT_TRUE(md5Matches(stored, path));
    for (size_t at : {size_t(0), size_t(4095), size_t(4096), data.size() - 1}) {
        std::string changed = data;
        changed[at] ^= 1;
        writeFile(path, changed);
        EXPECT_FALSE(md5Matches(stored, path)) << "byte " << at;
    }
    writeFile(path, data + "x");
    EXPECT_FALSE(md5Matches(stored, path));
    EXPECT_FALSE(md5Matches(stored, dir / "missing"));
}

TEST(FileOps, Bzip2LevelDigit) {
    ScratchDir dir;
    writeFile(dir / "plain", sourceLikeText(2000, 4));
    for (int level : {1, 5, 9}) {
        std::string out = dir / ("l" + std::to_string(level));
        RunResult r = runShell("bzip2 -" + std::to_string(level) + " -c " +
                               shellQuote(dir / "plain") + " > " + shellQuote(out));
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(bzip2LevelDigit(out), level);
    }
    writeFile(dir / "short", "BZh");
    EXPECT_EQ(bzip2LevelDigit(dir / "short"), -1);
}
