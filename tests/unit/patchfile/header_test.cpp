// The patch header: magic, version, and the entry count of version 2.
#include <gtest/gtest.h>

#include "memory_streams.h"
#include "patchfile/patchfile.h"

using testsupport::Bytes;
using testsupport::MemoryIStream;
using testsupport::MemoryOStream;

TEST(PatchHeader, WritesMagicAndVersion4) {
    MemoryOStream out;
    writePatchHeader(out);
    EXPECT_EQ(out.data, std::string("PRV\x04\x00", 5));
}

TEST(PatchHeader, ReadsAcceptedVersions) {
    struct Case {
        uint16_t version;
        uint16_t count;
        bool hasCountField;
    } cases[] = {
        {0, 1, false}, {1, 1, false}, {2, 0, true}, {2, 3, true}, {2, 65535, true},
        {3, 1, false}, {4, 1, false},
    };
    for (const Case& c : cases) {
        Bytes bytes = Bytes().raw("PRV").u16(c.version);
        if (c.hasCountField) bytes.u16(c.count);
        // Whatever follows the header is left for the entries.
        MemoryIStream in(bytes.s + "\x07" "entry");
        PatchHeader h;
        ASSERT_EQ(HEADER_OK, readPatchHeader(in, h)) << "version " << c.version;
        EXPECT_EQ(h.version, c.version);
        EXPECT_EQ(h.entryCount, c.count) << "version " << c.version;
        EXPECT_EQ(in.rest(), "\x07" "entry") << "version " << c.version;
    }
}

TEST(PatchHeader, RefusesNewerVersionsAndWrongMagic) {
    for (uint16_t version : {5, 256, 65535}) {
        MemoryIStream in(Bytes().raw("PRV").u16(version).u16(1).s);
        PatchHeader h;
        EXPECT_EQ(HEADER_TOO_NEW, readPatchHeader(in, h)) << "version " << version;
    }
    for (const char* start : {"PKR\x04", "PRv\x04", "prv\x04", "PR", "", "\x1f\x8b\x08"}) {
        MemoryIStream in(start);
        PatchHeader h;
        EXPECT_EQ(HEADER_BAD_MAGIC, readPatchHeader(in, h)) << start;
    }
}

TEST(PatchHeader, AHeaderCutShortIsTruncated) {
    const std::string cuts[] = {
        std::string("PRV"), std::string("PRV\x04", 4), std::string("PRV\x02\x00", 5),
        std::string("PRV\x02\x00\x05", 6),
    };
    for (const std::string& cut : cuts) {
        MemoryIStream in(cut);
        PatchHeader h;
        EXPECT_EQ(HEADER_TRUNCATED, readPatchHeader(in, h)) << cut.size() << " bytes";
    }
}
