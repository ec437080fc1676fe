// Patch entries: the byte layout written by the maker, and reading entries of
// every version, intact or broken.
#include <gtest/gtest.h>

#include "memory_streams.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "test_support.h"

using namespace testsupport;

namespace {

Md5Digest digestOf(unsigned char first) {
    Md5Digest d;
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<unsigned char>(first + i);
    return d;
}

std::string digestBytes(const Md5Digest& d) { return std::string(d.begin(), d.end()); }

// Reads one entry the way the applier does, with the blocks going to files
// in dir; returns whether the entry is intact.
bool readEntry(IStream& in, uint16_t version, const ScratchDir& dir, PatchEntry& entry) {
    static int serial = 0;
    readEntryNames(in, version, entry);
    readEntryParams(in, entry);
    entry.deltaPath = dir / ("delta" + std::to_string(serial));
    entry.fixupPath = dir / ("fixup" + std::to_string(serial));
    ++serial;
    int writeError = 0;
    return readEntryBlocks(in, entry, writeError) == BLOCKS_OK;
}

// A stored entry without digests (versions 0, 2, 3).
std::string oldEntry(const std::string& oldName, const std::string& newName, uint16_t oldKind,
                     uint16_t newKind, uint32_t flags, const std::string& delta,
                     const std::string& fixup = "") {
    Bytes b = Bytes().str(oldName).str(newName).u16(oldKind).u16(newKind).u32(9).u32(flags);
    b.u32(static_cast<uint32_t>(delta.size())).raw(delta);
    if (flags & FLAG_GZIP_FIXUP) b.u32(static_cast<uint32_t>(fixup.size())).raw(fixup);
    return b.s;
}

}  // namespace

TEST(PatchEntry, WrittenLayout) {
    ScratchDir dir;
    writeFile(dir / "delta", "DELTA");
    writeFile(dir / "fixup", "FX");
    PatchEntry e;
    e.oldName = "pkg-1.0.tar.gz";
    e.oldMd5 = digestOf(0x10);
    e.newName = "sub/pkg-1.1.tar.gz";
    e.newMd5 = digestOf(0xA0);
    e.oldKind = KIND_GZIP;
    e.newKind = KIND_GZIP;
    e.newParams = 6;
    e.flags = FLAG_OLD_MD5_OF_TAR | FLAG_GZIP_FIXUP;
    e.deltaPath = dir / "delta";
    e.fixupPath = dir / "fixup";
    auto layout = [&](uint32_t flags) {
        Bytes b = Bytes()
                      .str("pkg-1.0.tar.gz")
                      .raw(digestBytes(e.oldMd5))
                      .str("sub/pkg-1.1.tar.gz")
                      .raw(digestBytes(e.newMd5))
                      .u16(2)
                      .u16(2)
                      .u32(6)
                      .u32(flags)
                      .u32(5)
                      .raw("DELTA");
        if (flags & FLAG_GZIP_FIXUP) b.u32(2).raw("FX");
        return b.s;
    };
    MemoryOStream out;
    ASSERT_TRUE(writePatchEntry(out, e));
    EXPECT_EQ(out.data, layout(3));

    // Without the fixup flag the entry ends after the delta block.
    e.flags = FLAG_OLD_MD5_OF_TAR;
    MemoryOStream noFixup;
    ASSERT_TRUE(writePatchEntry(noFixup, e));
    EXPECT_EQ(noFixup.data, layout(2));
}

TEST(PatchEntry, Version4RoundTrip) {
    ScratchDir dir;
    struct Case {
        uint16_t oldKind, newKind;
        uint32_t params, flags;
        size_t deltaSize, fixupSize;
    } cases[] = {
        {KIND_TAR, KIND_GZIP, 9, FLAG_OLD_MD5_OF_TAR | FLAG_GZIP_FIXUP, 3000, 1},
        {KIND_GZIP, KIND_BZIP2,
         9 | BZIP2_TESTED(4) | BZIP2_TESTED(5) | BZIP2_WORKS(5), FLAG_OLD_MD5_OF_TAR, 1, 0},
        {KIND_BZIP2_OLD, KIND_TAR, 0, FLAG_OLD_MD5_OF_TAR, 1024, 0},
    };
    for (const Case& c : cases) {
        std::string delta = randomBytes(c.deltaSize, 1), fixup = randomBytes(c.fixupSize, 2);
        writeFile(dir / "d", delta);
        writeFile(dir / "f", fixup);
        PatchEntry e;
        e.oldName = "dir/old-1.tar";
        e.newName = std::string(300, 'n');
        e.oldMd5 = digestOf(1);
        e.newMd5 = digestOf(200);
        e.oldKind = c.oldKind;
        e.newKind = c.newKind;
        e.newParams = c.params;
        e.flags = c.flags;
        e.deltaPath = dir / "d";
        e.fixupPath = dir / "f";
        MemoryOStream out;
        writePatchHeader(out);
        ASSERT_TRUE(writePatchEntry(out, e));

        MemoryIStream in(out.data);
        PatchHeader h;
        ASSERT_EQ(HEADER_OK, readPatchHeader(in, h));
        ASSERT_EQ(h.version, 4);
        PatchEntry r;
        ASSERT_TRUE(readEntry(in, h.version, dir, r));
        EXPECT_EQ(r.oldName, e.oldName);
        EXPECT_EQ(r.newName, e.newName);
        EXPECT_EQ(r.oldMd5, e.oldMd5);
        EXPECT_EQ(r.newMd5, e.newMd5);
        EXPECT_EQ(r.oldKind, c.oldKind);
        EXPECT_EQ(r.newKind, c.newKind);
        EXPECT_EQ(r.newParams, c.params);
        EXPECT_EQ(r.flags, c.flags);
        EXPECT_EQ(readFile(r.deltaPath), delta);
        if (c.flags & FLAG_GZIP_FIXUP) {
            EXPECT_EQ(readFile(r.fixupPath), fixup);
        }
        EXPECT_EQ(in.rest(), "");
    }
}

TEST(PatchEntry, BzipReleaseBits) {
    EXPECT_EQ(BZIP2_TESTED(0), 0x80000000u);
    EXPECT_EQ(BZIP2_WORKS(0), 0x40000000u);
    EXPECT_EQ(BZIP2_WORKS(5), 1u << 20);
    EXPECT_EQ(9 | BZIP2_TESTED(4) | BZIP2_TESTED(5) | BZIP2_WORKS(5), 0x00B00009u);
}

TEST(PatchEntry, Version2HoldsSeveralEntriesWithoutDigests) {
    ScratchDir dir;
    std::string patch = Bytes().raw("PRV").u16(2).u16(3).s +
                        oldEntry("a-1.tar", "a-2.tar", KIND_TAR, KIND_TAR, 0, "delta-a") +
                        oldEntry("b-1.tgz", "b-2.tgz", KIND_GZIP, KIND_GZIP, FLAG_GZIP_FIXUP,
                                 "delta-b", "fixup-b") +
                        oldEntry("c-1.tbz", "c-2.tbz", KIND_BZIP2, KIND_BZIP2, 0, "delta-c");
    MemoryIStream in(patch);
    PatchHeader h;
        ASSERT_EQ(HEADER_OK, readPatchHeader(in, h));
    ASSERT_EQ(h.entryCount, 3);
    struct Expected {
        const char* oldName;
        uint32_t flags;
        const char* delta;
        const char* fixup;
    } expected[] = {
        {"a-1.tar", 0, "delta-a", ""},
        {"b-1.tgz", FLAG_GZIP_FIXUP, "delta-b", "fixup-b"},
        {"c-1.tbz", 0, "delta-c", ""},
    };
    for (const Expected& x : expected) {
        PatchEntry e;
        ASSERT_TRUE(readEntry(in, h.version, dir, e)) << x.oldName;
        EXPECT_EQ(e.oldName, x.oldName);
        EXPECT_EQ(e.oldMd5, Md5Digest{});
        EXPECT_EQ(e.flags, x.flags);
        EXPECT_EQ(readFile(e.deltaPath), x.delta);
        if (x.flags & FLAG_GZIP_FIXUP) {
            EXPECT_EQ(readFile(e.fixupPath), x.fixup);
        }
    }
    EXPECT_EQ(in.rest(), "");

    MemoryIStream empty(Bytes().raw("PRV").u16(2).u16(0).s);
    PatchHeader none;
    ASSERT_EQ(HEADER_OK, readPatchHeader(empty, none));
    EXPECT_EQ(none.entryCount, 0);
    EXPECT_EQ(empty.rest(), "");
}

TEST(PatchEntry, Versions0And3ReadWithoutDigestsAndConsumeTheFixup) {
    ScratchDir dir;
    for (uint16_t version : {0, 3}) {
        // A gzip old package with a fixup block: the block is read out of the
        // stream even though the applier will not use it.
        std::string patch = Bytes().raw("PRV").u16(version).s +
                            oldEntry("x.tar.gz", "y.tar.gz", KIND_GZIP, KIND_GZIP,
                                     FLAG_GZIP_FIXUP, "DD", "FFF") +
                            "after";
        MemoryIStream in(patch);
        PatchHeader h;
        ASSERT_EQ(HEADER_OK, readPatchHeader(in, h));
        EXPECT_EQ(h.entryCount, 1);
        PatchEntry e;
        ASSERT_TRUE(readEntry(in, h.version, dir, e));
        EXPECT_EQ(e.oldName, "x.tar.gz");
        EXPECT_EQ(e.newName, "y.tar.gz");
        EXPECT_EQ(e.newParams, 9u);
        EXPECT_EQ(readFile(e.fixupPath), "FFF");
        EXPECT_EQ(in.rest(), "after");
    }
}

TEST(PatchEntry, BrokenBlocks) {
    ScratchDir dir;
    Bytes fields = Bytes().str("old").str("new").u16(2).u16(2).u32(9);
    struct Case {
        const char* name;
        std::string tail;  // flags and blocks
        std::string rest;  // what the reader must leave in the stream
    } cases[] = {
        {"zero delta length", Bytes().u32(0).u32(0).raw("next").s, "next"},
        {"delta one byte short", Bytes().u32(0).u32(5).raw("1234").s, ""},
        {"empty after flags", Bytes().u32(0).s, ""},
        {"zero fixup length", Bytes().u32(1).u32(2).raw("dd").u32(0).raw("next").s, "next"},
        {"fixup short", Bytes().u32(1).u32(2).raw("dd").u32(9).raw("fff").s, ""},
        {"fixup length missing", Bytes().u32(1).u32(2).raw("dd").s, ""},
        // The fixup length is read even when the delta block is already
        // broken; its bytes are then left alone.
        {"zero delta, fixup follows", Bytes().u32(1).u32(0).u32(3).raw("fff").s, "fff"},
    };
    for (const Case& c : cases) {
        MemoryIStream in(fields.s + c.tail);
        PatchEntry e;
        EXPECT_FALSE(readEntry(in, 3, dir, e)) << c.name;
        EXPECT_EQ(in.rest(), c.rest) << c.name;
    }
}

TEST(PatchEntry, WriteFailsWithoutItsBlockFile) {
    ScratchDir dir;
    PatchEntry e;
    e.deltaPath = dir / "missing";
    MemoryOStream out;
    EXPECT_FALSE(writePatchEntry(out, e));
    writeFile(dir / "delta", "d");
    e.deltaPath = dir / "delta";
    e.flags = FLAG_GZIP_FIXUP;
    e.fixupPath = dir / "missing";
    EXPECT_FALSE(writePatchEntry(out, e));
}
