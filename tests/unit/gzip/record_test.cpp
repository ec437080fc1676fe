// Kind 23 through files: the record made from a package and its tar, proven
// by a rebuild, carried in a parameter block and rebuilt from it; the block
// is read as hostile input.
#include <gtest/gtest.h>

#include "gzip/gzip.h"
#include "patchfile/patchfile.h"
#include "test_support.h"
#include "zlib_gzip.h"

using namespace testsupport;

namespace {

std::string le16(uint16_t v) { return {char(v & 0xFF), char(v >> 8)}; }
std::string le32(uint32_t v) { return le16(uint16_t(v & 0xFFFF)) + le16(uint16_t(v >> 16)); }
std::string field(uint16_t tag, const std::string& value) {
    return le16(tag) + le32(static_cast<uint32_t>(value.size())) + value;
}

struct Files {
    ScratchDir dir;
    std::string package = dir / "p.gz", tar = dir / "p.tar", record = dir / "record",
                block = dir / "block", out = dir / "out.gz";
};

const std::string& text() {
    static const std::string s = sourceLikeText(60000, 3) + randomBytes(3000, 4);
    return s;
}

}  // namespace

TEST(GzipRecord, PackagesRoundTripThroughTheParameterBlock) {
    ZlibSettings six{6, 8, 0, 15};
    std::string a = text().substr(0, 20000), b = text().substr(20000);
    struct Case {
        const char* name;
        std::string package, tar;
    };
    const Case cases[] = {
        {"two levels in one stream", zlibGzip(text(), six, "p.tar", 1234567, 3, 1), text()},
        {"empty", zlibGzip("", six), ""},
        {"one byte", zlibGzip("x", {9, 8, 0, 15}), "x"},
        {"members and trailing bytes",
         zlibGzip(a, six, "a") + zlibGzip(b, {1, 9, 1, 15}) + std::string("\0\0junk", 6), a + b},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Files f;
        writeFile(f.package, c.package);
        writeFile(f.tar, c.tar);
        recon::MakeStats stats;
        ASSERT_EQ(makeGzipRecord(f.package, f.tar, f.record, &stats), recon::Result::Ok);
        EXPECT_EQ(stats.correctionBytes, readFile(f.record).size());
        // A field before the record that this reader does not know is skipped.
        ASSERT_TRUE(writeParamBlockWithFile(f.block, {{0x0042, "later"}}, PARAM_GZIP_RECORD,
                                            f.record));
        EXPECT_EQ(readFile(f.block),
                  field(0x0042, "later") + field(PARAM_GZIP_RECORD, readFile(f.record)));
        ASSERT_EQ(rebuildFromRecordBlock(f.block, f.tar, f.out), GZIP_RECORD_REBUILT);
        EXPECT_TRUE(readFile(f.out) == c.package);
    }
}

TEST(GzipRecord, MakerRefusesWhatItCannotRebuild) {
    Files f;
    std::string package = zlibGzip(text(), {6, 8, 0, 15});
    writeFile(f.package, package);
    writeFile(f.tar, text() + "x");
    EXPECT_EQ(makeGzipRecord(f.package, f.tar, f.record, nullptr), recon::Result::DataMismatch);
    writeFile(f.package, "plain bytes, no gzip");
    EXPECT_EQ(makeGzipRecord(f.package, f.tar, f.record, nullptr), recon::Result::BadStream);
    EXPECT_EQ(makeGzipRecord(f.dir / "missing", f.tar, f.record, nullptr),
              recon::Result::IoError);
}

TEST(GzipRecord, BlocksThatDoNotHoldOneGoodRecordFail) {
    Files f;
    std::string package = zlibGzip(text(), {6, 8, 0, 15}, "", 0, 3, 2);
    writeFile(f.package, package);
    writeFile(f.tar, text());
    ASSERT_EQ(makeGzipRecord(f.package, f.tar, f.record, nullptr), recon::Result::Ok);
    std::string record = readFile(f.record);
    std::string badHeader = record;
    badHeader[0] = 'X';
    struct Case {
        const char* name;
        std::string block;
        GzipRecordRebuild expected;
    };
    const Case cases[] = {
        {"unknown critical field", field(PARAM_GZIP_RECORD, record) + field(0x8999, ""),
         GZIP_RECORD_UNKNOWN},
        {"no record", field(PARAM_ENCODER_VERSION, "zlib"), GZIP_RECORD_UNKNOWN},
        {"empty block", "", GZIP_RECORD_UNKNOWN},
        {"two records", field(PARAM_GZIP_RECORD, record) + field(PARAM_GZIP_RECORD, record),
         GZIP_RECORD_DAMAGED},
        {"field longer than the block", field(PARAM_GZIP_RECORD, record).substr(0, 100),
         GZIP_RECORD_DAMAGED},
        {"half a field header", field(PARAM_GZIP_RECORD, record) + "\x01\x00\x05",
         GZIP_RECORD_DAMAGED},
        {"record cut short", field(PARAM_GZIP_RECORD, record.substr(0, record.size() / 2)),
         GZIP_RECORD_DAMAGED},
        {"record header", field(PARAM_GZIP_RECORD, badHeader), GZIP_RECORD_DAMAGED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(f.block, c.block);
        EXPECT_EQ(rebuildFromRecordBlock(f.block, f.tar, f.out), c.expected);
    }
    // A tar that is not the package's content fails (or, at worst, makes
    // other bytes for the digest check to refuse); a missing one cannot be read.
    writeFile(f.block, field(PARAM_GZIP_RECORD, record));
    writeFile(f.tar, text().substr(0, 1000));
    EXPECT_EQ(rebuildFromRecordBlock(f.block, f.tar, f.out), GZIP_RECORD_DAMAGED);
    EXPECT_EQ(rebuildFromRecordBlock(f.block, f.dir / "missing", f.out), GZIP_RECORD_IO);
}
