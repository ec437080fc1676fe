// Classification by leading bytes, and the push-back stream that lets a
// stream be classified and then read again from its first byte.
#include <gtest/gtest.h>

#include "memory_streams.h"
#include "runtime/runtime.h"
#include "stream/stream.h"
#include "test_support.h"

using namespace testsupport;

namespace {

std::string bytes(const char* s, size_t n) { return std::string(s, n); }

// A 512-byte tar header block with the given magic at offset 257.
std::string tarBlock(const std::string& magic, const std::string& name = "file.txt") {
    std::string block(TAR_BLOCK, '\0');
    block.replace(0, name.size(), name);
    block.replace(TAR_MAGIC_OFFSET, magic.size(), magic);
    return block;
}

struct SniffCase {
    const char* name;
    std::string data;
    FileKind fileKind;    // sniffFile / sniffBytes
    FileKind streamKind;  // sniffStream
};

std::vector<SniffCase> sniffCases() {
    std::string tarPosix = tarBlock(bytes("ustar\0" "00", 8)) + std::string(1024, '\0');
    return {
        {"patch", "PRV\x04\x00", FILE_PATCH, FILE_PATCH},
        {"patch, 3 bytes", "PRV", FILE_PATCH, FILE_PATCH},
        {"gzip 1f8b", bytes("\x1f\x8b\x08\x00rest", 8), FILE_GZIP, FILE_GZIP},
        {"gzip 1f9e", bytes("\x1f\x9e\x00", 3), FILE_GZIP, FILE_GZIP},
        {"bzip2", "BZh91AY&SY", FILE_BZIP2, FILE_BZIP2},
        {"bzip2, two letters", "BZ", FILE_BZIP2, FILE_BZIP2},
        {"zip", bytes("PK\x03\x04\x14\x00", 6), FILE_ZIP, FILE_ZIP},
        {"PK only", "PK", FILE_NONE, FILE_NONE},
        {"PK 03 only", "PK\x03", FILE_NONE, FILE_NONE},
        {"xdelta", "%XDZ004%", FILE_XDELTA, FILE_XDELTA},
        {"xdelta at offset 1", " %XDZ004", FILE_NONE, FILE_NONE},
        {"segdiff", "SGD", FILE_SEGDIFF, FILE_SEGDIFF},
        {"segdiff, zero after magic", bytes("SGD\0\0\0", 6), FILE_SEGDIFF, FILE_SEGDIFF},
        {"zero byte cuts the signature", bytes("%XD\0", 4), FILE_NONE, FILE_NONE},
        {"one letter", "B", FILE_NONE, FILE_NONE},
        {"empty", "", FILE_NONE, FILE_NONE},
        {"text", "hello world\n", FILE_NONE, FILE_NONE},
        {"zero first, then a signature", bytes("\0PRV", 4), FILE_NONE, FILE_NONE},
        {"tar, POSIX magic", tarPosix, FILE_NONE, FILE_TAR},
        {"tar, GNU magic", tarBlock("ustar  ") + std::string(512, '\0'), FILE_NONE, FILE_TAR},
        {"tar, first byte zero", tarBlock("ustar", std::string()), FILE_NONE, FILE_TAR},
        {"tar magic is the last bytes", tarPosix.substr(0, TAR_MAGIC_OFFSET + 5), FILE_NONE,
         FILE_TAR},
        {"tar magic cut short", tarPosix.substr(0, TAR_MAGIC_OFFSET + 4), FILE_NONE, FILE_NONE},
        {"tar magic misplaced", std::string(258, 'a') + "ustar" + std::string(300, 'a'),
         FILE_NONE, FILE_NONE},
        {"signature wins over tar magic", "BZ" + tarPosix.substr(2), FILE_BZIP2, FILE_BZIP2},
    };
}

}  // namespace

TEST(Sniff, BytesFilesAndStreams) {
    ScratchDir dir;
    for (const SniffCase& c : sniffCases()) {
        SCOPED_TRACE(c.name);
        const unsigned char* lead = reinterpret_cast<const unsigned char*>(c.data.data());
        EXPECT_EQ(sniffBytes(lead, static_cast<uint32_t>(c.data.size())), c.fileKind);

        writeFile(dir / "f", c.data);
        EXPECT_EQ(sniffFile(dir / "f"), c.fileKind);

        MemoryIStream source(c.data);
        Injectable_IStream stream(source);
        EXPECT_EQ(sniffStream(stream), c.streamKind);
        EXPECT_EQ(drain(stream, 7), c.data);

        // Sniffing takes one read per look, so a source that hands out data in
        // small pieces may sniff as nothing; it must still deliver every byte.
        for (uint32_t piece : {1u, 3u, 100u}) {
            MemoryIStream pieces(c.data, piece);
            Injectable_IStream pieceStream(pieces);
            sniffStream(pieceStream);
            EXPECT_EQ(drain(pieceStream, 7), c.data) << "piece " << piece;
        }
    }
    EXPECT_EQ(sniffFile(dir / "missing"), FILE_NONE);
}

TEST(Sniff, RealArchivesAndSniffingTwice) {
    ScratchDir dir;
    writeFile(dir / "member", sourceLikeText(3000, 5));
    RunResult r = runShell("cd " + shellQuote(dir.path()) +
                           " && tar cf a.tar member && gzip -c a.tar > a.tar.gz");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string tar = readFile(dir / "a.tar");
    EXPECT_EQ(sniffFile(dir / "a.tar"), FILE_NONE);
    EXPECT_EQ(sniffFile(dir / "a.tar.gz"), FILE_GZIP);

    // The patch opener sniffs the decompressed stream after the plain file;
    // a second sniff of the same stream must see the same bytes again.
    GZ_IFStream gz(dir / "a.tar.gz");
    Injectable_IStream stream(gz);
    EXPECT_EQ(sniffStream(stream), FILE_TAR);
    EXPECT_EQ(sniffStream(stream), FILE_TAR);
    EXPECT_EQ(drain(stream, 1000), tar);
}

TEST(InjectableStream, InjectedBytesComeFirstLastInjectedFirst) {
    MemoryIStream source("c");
    Injectable_IStream stream(source);
    stream.inject("b", 1);
    stream.inject("a", 1);
    char out[4] = {};
    EXPECT_EQ(stream.read(out, 3), 3u);
    EXPECT_STREQ(out, "abc");
}

TEST(InjectableStream, PartialReadsAcrossBuffers) {
    MemoryIStream source("SOURCE");
    Injectable_IStream stream(source);
    stream.inject("abc", 3);
    char out[16] = {};
    EXPECT_EQ(stream.read(out, 0), 0u);  // leaves the buffers alone
    EXPECT_EQ(stream.read(out, 1), 1u);
    EXPECT_EQ(out[0], 'a');
    stream.inject("xy", 2);
    stream.inject("", 0);
    EXPECT_EQ(stream.read(out, 2), 2u);
    EXPECT_EQ(std::string(out, 2), "xy");
    EXPECT_EQ(stream.read(out, 4), 4u);
    EXPECT_EQ(std::string(out, 4), "bcSO");
    EXPECT_EQ(drain(stream), "URCE");
    EXPECT_EQ(source.requests.back(), 4096u);
}

TEST(InjectableStream, SegdiffMagicAloneReadsBackExactly) {
    MemoryIStream source("SGD");
    Injectable_IStream stream(source);
    EXPECT_EQ(sniffStream(stream), FILE_SEGDIFF);
    char out[8];
    EXPECT_EQ(stream.read(out, 8), 3u);
    EXPECT_EQ(std::string(out, 3), "SGD");
    EXPECT_EQ(stream.read(out, 8), 0u);
}
