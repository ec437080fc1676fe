// The parallel bzip2 compressor against the bzip2 program: byte-identical
// streams for awkward block edges, every block size and thread count.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "bzip2/bzip2.h"
#include "memory_streams.h"
#include "runtime/runtime.h"
#include "test_support.h"

using namespace testsupport;

namespace {

constexpr uint32_t CAPACITY_1 = 100000 - 19;  // first-stage bytes of a block at -1

// Bytes with no two neighbours equal: each byte is one first-stage byte.
std::string noRuns(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    char last = 0;
    for (auto& c : s) {
        char next;
        do next = static_cast<char>(gen() & 0xFF);
        while (next == last);
        c = last = next;
    }
    return s;
}

// Runs of random length 1-600 of random bytes.
std::string manyRuns(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s;
    while (s.size() < n) s.append(1 + gen() % 600, static_cast<char>(gen() & 0xFF));
    s.resize(n);
    return s;
}

class ParallelBzip2Test : public testing::Test {
protected:
    ScratchDir dir;

    std::string program(const std::string& input, int blockSize) {
        writeFile(dir / "in", input);
        RunResult r = runShell("bzip2 -" + std::to_string(blockSize) + " -c < " +
                               shellQuote(dir / "in") + " > " + shellQuote(dir / "ref"));
        EXPECT_EQ(0, r.status) << r.err;
        return readFile(dir / "ref");
    }

    std::string ours(const std::string& input, int blockSize, unsigned threads) {
        MemoryIStream in(input);
        MemoryOStream out;
        EXPECT_TRUE(parallelBzip2(in, out, blockSize, threads));
        return out.data;
    }

    // Ours on 1, 2 and 3 threads against the program.
    void expectSame(const std::string& input, int blockSize, const std::string& what) {
        std::string expected = program(input, blockSize);
        for (unsigned threads : {1u, 2u, 3u})
            EXPECT_TRUE(expected == ours(input, blockSize, threads))
                << what << ", -" << blockSize << ", " << threads << " threads";
    }
};

}  // namespace

TEST_F(ParallelBzip2Test, ReleaseIsTheLinkedLibrarysVersion) {
    std::string release = libbz2Release();
    EXPECT_FALSE(release.empty());
    EXPECT_EQ(std::string::npos, release.find(','));
}

TEST_F(ParallelBzip2Test, EmptyAndTinyInputs) {
    for (int blockSize : {1, 9}) {
        expectSame("", blockSize, "empty");
        expectSame("x", blockSize, "one byte");
        expectSame(std::string(4, 'a'), blockSize, "a run of four");
    }
}

TEST_F(ParallelBzip2Test, InputsWithRunsOverSeveralBlocks) {
    expectSame(sourceLikeText(350000, 3), 1, "text");
    expectSame(manyRuns(400000, 4), 1, "runs of 1-600 bytes");
    expectSame(randomBytes(250000, 5), 1, "random bytes");
    // First-stage bytes are 5 per 255-byte run: one block holds ~5 MB of this.
    expectSame(std::string(6000000, '\0'), 1, "one long run");
}

TEST_F(ParallelBzip2Test, RunNearTheBlockEdge) {
    // A run of 300 bytes starting around where the block fills: it is cut
    // into 255 + 45 bytes and its pieces land on either side of the edge,
    // or it carries whole into the next block.
    for (int shift = -8; shift <= 3; ++shift) {
        std::string input = noRuns(CAPACITY_1 + shift, 10 + shift);
        input.append(300, input.back() == 'a' ? 'b' : 'a');
        input += noRuns(1000, 99);
        expectSame(input, 1, "run at capacity " + std::to_string(shift));
    }
    // Runs of 2-5 bytes just before the edge.
    for (int length = 2; length <= 5; ++length) {
        std::string input = noRuns(CAPACITY_1 - 2, 20 + length);
        input.append(length, input.back() == 'q' ? 'r' : 'q');
        input += noRuns(50, 7);
        expectSame(input, 1, "run of " + std::to_string(length) + " at the edge");
    }
}

TEST_F(ParallelBzip2Test, LastBlockOfAFewBytes) {
    // The block fills with the byte before the last: the last byte alone
    // (the run in progress) makes the last block. Then a few bytes more.
    for (size_t extra : {0, 1, 2, 3, 7}) {
        std::string input = noRuns(CAPACITY_1 + 1 + extra, 30);
        expectSame(input, 1, "last block of " + std::to_string(extra + 1) + " bytes");
    }
    std::string edges = noRuns(CAPACITY_1 + 1, 30);
    EXPECT_EQ(std::vector<uint64_t>{CAPACITY_1},
              blockEdges(reinterpret_cast<const unsigned char*>(edges.data()), edges.size(), 1));
}

TEST_F(ParallelBzip2Test, EveryBlockSize) {
    for (int blockSize = 1; blockSize <= 9; ++blockSize) {
        std::string input = sourceLikeText(100000u * blockSize + 40000, blockSize);
        expectSame(input, blockSize, "text of two blocks");
    }
}

TEST_F(ParallelBzip2Test, FailedWriteIsReported) {
    std::string input = sourceLikeText(300000, 8);
    for (unsigned threads : {1u, 2u}) {
        MemoryIStream in(input);
        MemoryOStream out(1000);
        EXPECT_FALSE(parallelBzip2(in, out, 1, threads));
    }
    MemoryIStream in(input);
    MemoryOStream out;
    EXPECT_FALSE(parallelBzip2(in, out, 0, 2));
}

TEST_F(ParallelBzip2Test, FileToFile) {
    std::string input = manyRuns(250000, 12);
    std::string expected = program(input, 1);
    EXPECT_TRUE(parallelBzip2File(dir / "in", dir / "out", 1, 2));
    EXPECT_TRUE(expected == readFile(dir / "out"));
    EXPECT_FALSE(parallelBzip2File(dir / "missing", dir / "out2", 1, 2));
}
