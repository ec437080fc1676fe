// The segdiff delta maker: round trips through the built-in applier and
// through makeDelta/applyDelta, the byte layout it writes, and its refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "delta/delta.h"
#include "runtime/runtime.h"
#include "test_support.h"

using namespace testsupport;

namespace {

std::string segdiffProgram() { return binDir() + "/segdiff"; }

RunResult runSegdiff(const std::string& oldPath, const std::string& newPath, const std::string& deltaPath) {
    return runShell(shellQuote(segdiffProgram()) + " " + shellQuote(oldPath) + " " + shellQuote(newPath) +
                    " " + shellQuote(deltaPath));
}

uint32_t u32At(const std::string& bytes, size_t offset) {
    uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(bytes[offset + k]);
    return v;
}

// Makes a delta with segdiff, applies it with the built-in applier and
// returns the delta's bytes; fails the test when NEW does not come back.
std::string roundTrip(const ScratchDir& dir, const std::string& oldBytes, const std::string& newBytes) {
    std::string oldPath = dir / "old", newPath = dir / "new", delta = dir / "delta", out = dir / "out";
    writeFile(oldPath, oldBytes);
    writeFile(newPath, newBytes);
    RunResult r = runSegdiff(oldPath, newPath, delta);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(applySegdiffPatch(oldPath, out, delta), 0);
    EXPECT_TRUE(readFile(out) == newBytes) << "rebuilt file differs";
    return readFile(delta);
}

std::string blocksOf(const std::string& data, size_t blockSize, const std::vector<int>& order) {
    std::string s;
    for (int b : order) s += data.substr(static_cast<size_t>(b) * blockSize, blockSize);
    return s;
}

// A tar-like image: 512-byte headers between text members; `stamp` changes
// 16 bytes in every header, as a new release re-stamps every file.
std::string tarLike(int members, char stamp) {
    std::string s;
    for (int m = 0; m < members; ++m) {
        std::string header = "dir/file" + std::to_string(m) + ".c";
        header.resize(512, '\0');
        for (int k = 0; k < 16; ++k) header[136 + k] = static_cast<char>(stamp + (m * 7 + k) % 10);
        s += header + sourceLikeText(1024 + 512 * (m % 3), static_cast<unsigned>(m));
    }
    return s;
}

struct PairCase {
    const char* name;
    std::function<std::string()> oldBytes;
    std::function<std::string()> newBytes;
    size_t maxDelta;  // upper bound on the segdiff delta's size
};

const std::string& text() {
    static const std::string t = sourceLikeText(200000, 1);
    return t;
}
const std::string& mediumText() {
    static const std::string t = sourceLikeText(3000000, 7);
    return t;
}
const std::string& noise() {
    static const std::string n = randomBytes(64 * 4096, 2);
    return n;
}

std::vector<PairCase> pairCases() {
    std::vector<int> shuffled;
    for (int b = 0; b < 64; ++b) shuffled.push_back((b * 37 + 11) % 64);
    return {
        {"BothEmpty", [] { return std::string(); }, [] { return std::string(); }, 18},
        {"EmptyOld", [] { return std::string(); }, [] { return text(); }, 18 + 200000},
        {"EmptyNew", [] { return text(); }, [] { return std::string(); }, 18},
        {"Tiny", [] { return std::string("abc"); }, [] { return std::string("abcd"); }, 18 + 4},
        {"Identical", [] { return text(); }, [] { return text(); }, 18 + 12},
        {"Appended", [] { return text(); }, [] { return text() + "tail"; }, 18 + 12 + 4},
        {"Truncated", [] { return text(); }, [] { return text().substr(0, 150001); }, 18 + 12},
        {"TruncatedAtFront", [] { return text(); }, [] { return text().substr(777); }, 18 + 12},
        {"MovedBlocks", [] { return noise(); },
         [shuffled] { return blocksOf(noise(), 4096, shuffled); }, 18 + 12 * 64},
        {"RepeatedBlocks", [] { return noise(); },
         [] { return blocksOf(noise(), 4096, std::vector<int>(40, 5)) + noise().substr(0, 4096); },
         18 + 12 * 41},
        {"InsertedAndDeleted", [] { return text(); },
         [] { return text().substr(0, 50000) + "new line\n" + text().substr(50000, 90000) +
                     text().substr(150000); },
         18 + 12 * 3 + 9},
        {"Random", [] { return randomBytes(100000, 3); }, [] { return randomBytes(100000, 4); },
         18 + 100000},
        // Small and medium inputs take the densely indexed matcher: it must
        // find the short common stretches that source edits leave.
        {"ShortEdits", [] { return text(); },
         [] {
             std::string s = text();
             for (size_t at = 1000; at + 100 < s.size(); at += 5000) s.replace(at, 3, "XYZW");
             return s;
         },
         18 + 40 * (12 + 4) + 64},
        {"MovedShortStretches", [] { return text().substr(0, 60000); },
         [] {
             std::string s;
             for (int k = 0; k < 200; ++k) s += text().substr(static_cast<size_t>(k * 7919 % 59000), 120) + "#";
             return s;
         },
         18 + 200 * (12 + 1) + 64},
        {"RepeatedText", [] { return std::string(5000, 'a') + text().substr(0, 20000); },
         [] { return std::string(9000, 'a') + text().substr(0, 20000) + std::string(3000, 'a'); },
         18 + 12 * 6},
        {"RestampedHeaders", [] { return tarLike(200, '0'); }, [] { return tarLike(200, '1'); },
         // one record and 16 literal bytes per header, give or take: the
         // new stamp of a header equals the old stamp of another one, so a
         // few headers are copied from there instead
         200 * (12 + 16) + 128},
        // A version digit changed every few hundred bytes: each change is
        // one byte of literal and a record that stays on its diagonal.
        {"SubstitutedBytes", [] { return text(); },
         [] {
             std::string s = text();
             for (size_t at = 300; at < s.size(); at += 700) s[at] = static_cast<char>(s[at] ^ 0x20);
             return s;
         },
         18 + (200000 / 700 + 1) * (12 + 1) + 64},
        // Medium input: 3 MB of text with edited lines and functions moved
        // about, as between two releases of a source tree.
        {"MediumEditedAndMoved", [] { return mediumText(); },
         [] {
             const std::string& m = mediumText();
             std::string s;
             for (size_t k = 0; k < 60; ++k) {
                 size_t at = (k * 37 % 60) * 50000;
                 std::string piece = m.substr(at, 50000);
                 piece.replace(1000 + k * 13, 5, "edit" + std::to_string(k % 10));
                 s += piece;
             }
             return s;
         },
         60 * 3 * (12 + 8) + 1024},
        // NEW repeats a short stretch of OLD many times over, with a counter
        // between the copies.
        {"RepeatedShortStretch", [] { return text().substr(0, 30000); },
         [] {
             std::string s;
             for (int k = 0; k < 300; ++k) s += text().substr(12000, 90) + std::to_string(k);
             return s;
         },
         18 + 300 * (12 + 3) + 64},
    };
}

void PrintTo(const PairCase& c, std::ostream* os) { *os << c.name; }

class SegdiffRoundTrip : public ::testing::TestWithParam<PairCase> {};

TEST_P(SegdiffRoundTrip, RebuildsNewAndStaysSmall) {
    const PairCase& c = GetParam();
    ScratchDir dir;
    std::string delta = roundTrip(dir, c.oldBytes(), c.newBytes());
    EXPECT_LE(delta.size(), c.maxDelta);
}

TEST_P(SegdiffRoundTrip, RebuildsOldFromNew) {
    const PairCase& c = GetParam();
    ScratchDir dir;
    roundTrip(dir, c.newBytes(), c.oldBytes());
}

INSTANTIATE_TEST_SUITE_P(Pairs, SegdiffRoundTrip, ::testing::ValuesIn(pairCases()),
                         [](const ::testing::TestParamInfo<PairCase>& info) { return info.param.name; });

// Both engines through the delta commands, as the make and apply pipelines
// use them: segdiff and xdelta are found on PATH.
class DeltaEngines : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        setenv("PATH", (binDir() + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    }
};

TEST_P(DeltaEngines, RoundTripBothWays) {
    const bool useSegdiff = GetParam();
    ScratchDir dir;
    std::string a = tarLike(40, '0'), b = tarLike(40, '3').substr(3000) + text().substr(0, 5000);
    writeFile(dir / "a", a);
    writeFile(dir / "b", b);
    const std::vector<std::pair<std::string, std::string>> directions = {{"a", "b"}, {"b", "a"}};
    for (const auto& [from, to] : directions) {
        std::string delta = dir / (from + to + ".delta"), out = dir / (from + to + ".out");
        makeDelta(useSegdiff, dir / from, dir / to, delta);
        EXPECT_EQ(readFile(delta).compare(0, useSegdiff ? 3 : 4, useSegdiff ? "SGD" : "%XDZ"), 0);
        EXPECT_EQ(applyDelta(dir / from, out, delta), APPLY_OK);
        EXPECT_TRUE(readFile(out) == readFile(dir / to)) << from << " -> " << to;
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, DeltaEngines, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Segdiff" : "Xdelta";
                         });

TEST(SegdiffMaker, HeaderHoldsVersionPointerSizeAndBothSizes) {
    ScratchDir dir;
    std::string oldBytes = text().substr(0, 70000);
    std::string newBytes = text().substr(1000, 50000) + "changed" + text().substr(60000, 5000);
    std::string delta = roundTrip(dir, oldBytes, newBytes);
    ASSERT_GE(delta.size(), 18u);
    EXPECT_EQ(delta.substr(0, 3), "SGD");
    EXPECT_EQ(delta[3], 1);
    EXPECT_EQ(delta[4], 0);
    EXPECT_EQ(delta[5], 4);
    EXPECT_EQ(u32At(delta, 6), oldBytes.size());
    EXPECT_EQ(u32At(delta, 10), newBytes.size());
    uint32_t records = u32At(delta, 14);
    EXPECT_EQ(records, 2u);
    // The records' lengths leave exactly the trailing literal to the
    // implicit record, and the literal area holds every literal byte.
    uint64_t covered = 0, literal = 0;
    for (uint32_t k = 0; k < records; ++k) {
        literal += u32At(delta, 18 + 12 * k + 4);
        covered += u32At(delta, 18 + 12 * k + 4) + uint64_t{u32At(delta, 18 + 12 * k + 8)};
    }
    EXPECT_EQ(delta.size(), 18 + 12 * records + literal + (newBytes.size() - covered));
}

// A copy that jumps more than 2 GiB in OLD needs extra empty records, since
// a skip is a signed 32-bit number.
TEST(SegdiffMaker, JumpsBeyondTwoGibibytesAreSplit) {
    ScratchDir dir;
    const off_t oldSize = (off_t{2} << 30) + 65536;
    const std::string head = randomBytes(8192, 5), tail = randomBytes(8192, 6);
    {
        FILE* f = std::fopen((dir / "old").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(head.data(), 1, head.size(), f);
        ASSERT_EQ(fseeko(f, oldSize - static_cast<off_t>(tail.size()), SEEK_SET), 0);
        std::fwrite(tail.data(), 1, tail.size(), f);
        std::fclose(f);
    }
    std::string newBytes = tail + head + tail;
    writeFile(dir / "new", newBytes);
    RunResult r = runSegdiff(dir / "old", dir / "new", dir / "delta");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string delta = readFile(dir / "delta");
    int forward = 0, backward = 0;
    for (uint32_t k = 0; k < u32At(delta, 14); ++k) {
        int32_t skip = static_cast<int32_t>(u32At(delta, 18 + 12 * k));
        forward += skip == INT32_MAX;
        backward += skip == INT32_MIN;
    }
    EXPECT_EQ(forward, 2);  // to the tail, twice
    EXPECT_EQ(backward, 1);  // from the tail back to the head
    EXPECT_EQ(applySegdiffPatch(dir / "old", dir / "out", dir / "delta"), 0);
    EXPECT_TRUE(readFile(dir / "out") == newBytes);
}

// Every refusal: a message on standard error, status 1 (127 would read as a
// missing program), and nothing left under the output name or beside it.
struct BadCase {
    const char* name;
    std::function<void(const ScratchDir&)> prepare;
    const char* oldName;
    const char* newName;
    const char* deltaName;
};

std::vector<BadCase> badCases() {
    auto sparse = [](const std::string& path, off_t size) {
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f) {
            if (ftruncate(fileno(f), size) != 0) std::perror("ftruncate");
            std::fclose(f);
        }
    };
    auto small = [](const ScratchDir& d) {
        writeFile(d / "old", "old data\n");
        writeFile(d / "new", "new data\n");
    };
    return {
        {"MissingOld", small, "absent", "new", "delta"},
        {"MissingNew", small, "old", "absent", "delta"},
        {"DirectoryAsInput", [small](const ScratchDir& d) { small(d); mkdir((d / "sub").c_str(), 0755); },
         "sub", "new", "delta"},
        {"OutputInMissingDirectory", small, "old", "new", "nodir/delta"},
        {"OutputIsDirectory", [small](const ScratchDir& d) { small(d); mkdir((d / "sub").c_str(), 0755); },
         "old", "new", "sub"},
        {"OldOfFourGibibytes", [small, sparse](const ScratchDir& d) { small(d); sparse(d / "big", off_t{1} << 32); },
         "big", "new", "delta"},
        {"NewOfFourGibibytes", [small, sparse](const ScratchDir& d) { small(d); sparse(d / "big", off_t{1} << 32); },
         "old", "big", "delta"},
    };
}

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class SegdiffRefuses : public ::testing::TestWithParam<BadCase> {};

TEST_P(SegdiffRefuses, WithStatusOneAndNoDelta) {
    const BadCase& c = GetParam();
    ScratchDir dir;
    c.prepare(dir);
    std::vector<std::string> before = listDir(dir.path());
    RunResult r = runSegdiff(dir / c.oldName, dir / c.newName, dir / c.deltaName);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("segdiff: ", 0), 0u) << r.err;
    EXPECT_EQ(listDir(dir.path()), before);
    if (std::string(c.deltaName) == "sub") {
        EXPECT_TRUE(listDir(dir / "sub").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(BadInput, SegdiffRefuses, ::testing::ValuesIn(badCases()),
                         [](const ::testing::TestParamInfo<BadCase>& info) { return info.param.name; });

TEST(SegdiffMaker, TerminatedRunLeavesNoDelta) {
    ScratchDir dir;
    {
        // Half a gigabyte of OLD keeps the index busy for a while.
        FILE* f = std::fopen((dir / "old").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), off_t{512} << 20), 0);
        std::fclose(f);
    }
    writeFile(dir / "new", text());
    RunResult r = runShell(
        "cd " + shellQuote(dir.path()) + " && { " + shellQuote(segdiffProgram()) + " old new delta & pid=$!; " +
        "while kill -0 $pid 2>/dev/null && ! ls | grep -q segdiff-; do sleep 0.01; done; " +
        "kill -TERM $pid 2>/dev/null; wait $pid; echo $?; }");
    if (r.out == "0\n") GTEST_SKIP() << "segdiff finished before it could be stopped";
    EXPECT_EQ(r.out, "143\n");
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"new", "old"}));
}

TEST(SegdiffMaker, WrongArgumentCountPrintsUsage) {
    RunResult r = runShell(shellQuote(segdiffProgram()) + " one two");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("usage: segdiff"), std::string::npos);
}

TEST(SegdiffMaker, ReplacesAnExistingDelta) {
    ScratchDir dir;
    writeFile(dir / "delta", std::string(100000, 'x'));
    std::string delta = roundTrip(dir, text(), text());
    EXPECT_EQ(delta.size(), 18u + 12u);
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"delta", "new", "old", "out"}));
}

}  // namespace
