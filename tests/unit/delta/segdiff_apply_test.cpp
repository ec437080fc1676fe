// The built-in segdiff applier, on deltas built by hand.
#include <gtest/gtest.h>

#include <optional>

#include "delta/delta.h"
#include "memory_streams.h"
#include "test_support.h"

using namespace testsupport;

namespace {

// Builds a segdiff delta: records with their literal runs, then a trailing
// literal. outputSize follows the records unless overwritten.
struct DeltaBuilder {
    uint16_t version = SEGDIFF_VERSION;
    uint8_t pointerSize = SEGDIFF_POINTER_SIZE;
    uint32_t outputSize = 0;
    std::optional<uint32_t> recordCount;  // default: the records given
    std::vector<SegdiffRecord> records;
    std::string literals;

    DeltaBuilder& record(int32_t skip, const std::string& literal, uint32_t copy) {
        records.push_back({skip, static_cast<uint32_t>(literal.size()), copy});
        literals += literal;
        outputSize += static_cast<uint32_t>(literal.size()) + copy;
        return *this;
    }
    DeltaBuilder& trailing(const std::string& literal) {
        literals += literal;
        outputSize += static_cast<uint32_t>(literal.size());
        return *this;
    }
    std::string bytes() const {
        Bytes b = Bytes().raw("SGD").u16(version).u8(pointerSize).u32(0x5EED).u32(outputSize);
        b.u32(recordCount ? *recordCount : static_cast<uint32_t>(records.size()));
        for (const SegdiffRecord& r : records)
            b.u32(static_cast<uint32_t>(r.skip)).u32(r.literalLength).u32(r.copyLength);
        return b.raw(literals).s;
    }
};

const std::string REFERENCE = "0123456789abcdefghijklmnopqrstuvwxyz";

struct Applied {
    int result;
    std::string message;         // standard output
    std::optional<std::string> output;  // absent when no output file was made
};

Applied runApplier(const ScratchDir& dir, const std::string& delta,
              const std::string& reference = REFERENCE) {
    writeFile(dir / "delta", delta);
    writeFile(dir / "reference", reference);
    remove((dir / "out").c_str());
    testing::internal::CaptureStdout();
    Applied a;
    a.result = applySegdiffPatch(dir / "reference", dir / "out", dir / "delta");
    a.message = testing::internal::GetCapturedStdout();
    if (exists(dir / "out")) a.output = readFile(dir / "out");
    return a;
}

const char* TRUNCATED = "Error.  patchfile is truncated\n";
const char* REFERENCE_ERROR = "Error while copying from reference file\n";
const char* PAST_OUTPUT = "Error.  patchfile writes past its declared output size\n";

struct Case {
    const char* name;
    std::string delta;
    int result;
    std::string message;
    std::optional<std::string> output;
};

std::vector<Case> cases() {
    std::string twoRecords = DeltaBuilder().record(0, "ab", 2).record(0, "cd", 2).bytes();
    DeltaBuilder shortLiteral = DeltaBuilder().record(0, "abc", 2).record(0, "defg", 0);
    shortLiteral.literals.pop_back();
    DeltaBuilder hugeCount = DeltaBuilder().record(0, "ab", 2);
    hugeCount.recordCount = 0xFFFFFFFFu;
    DeltaBuilder wrapped = DeltaBuilder().record(0, "ab", 2);
    wrapped.outputSize = 1;  // less than the records
    // The whole reference copied again and again, for a small declared size.
    DeltaBuilder amplified;
    for (int i = 0; i < 70; ++i) amplified.record(i == 0 ? 0 : -36, "", 36);
    amplified.outputSize = 36;
    DeltaBuilder version2 = DeltaBuilder().trailing("x");
    version2.version = 2;
    DeltaBuilder pointer8 = DeltaBuilder().trailing("x");
    pointer8.pointerSize = 8;

    return {
        {"literal only", DeltaBuilder().trailing("hello").bytes(), 0, "", "hello"},
        {"empty output", DeltaBuilder().bytes(), 0, "", ""},
        {"records cover the output; later bytes unread",
         DeltaBuilder().record(0, "AB", 3).bytes() + "junk", 0, "", "AB012"},
        {"negative skip reads again",
         DeltaBuilder().record(0, "", 20).record(-10, "-", 5).bytes(), 0, "",
         "0123456789abcdefghij-abcde"},
        {"record that only moves", DeltaBuilder().record(5, "", 0).record(0, "", 3).bytes(), 0,
         "", "567"},
        {"trailing literal after records",
         DeltaBuilder().record(2, "x", 2).record(1, "y", 1).trailing("END").bytes(), 0, "",
         "x23y5END"},
        {"move past the end without copying", DeltaBuilder().record(100, "z", 0).bytes(), 0, "",
         "z"},
        {"not a segdiff delta", "%XDZ004%" + std::string(40, 'x'), 1,
         "Given file is not a recognized patchfile\n", std::nullopt},
        {"shorter than the magic", "SG", 1, "Given file is not a recognized patchfile\n",
         std::nullopt},
        {"version 2", version2.bytes(), 1, "unsupported patch version\n", std::nullopt},
        {"version 2, cut after it", version2.bytes().substr(0, 5), 1,
         "unsupported patch version\n", std::nullopt},
        {"pointer size 8", pointer8.bytes(), 1, "unsupported file pointer size\n", std::nullopt},
        {"ends inside the header", twoRecords.substr(0, 12), -1, TRUNCATED, std::nullopt},
        {"ends after the magic", "SGD", -1, TRUNCATED, std::nullopt},
        {"ends inside the record table", twoRecords.substr(0, SEGDIFF_HEADER_SIZE + 19), -1,
         TRUNCATED, std::nullopt},
        {"record count beyond the file", hugeCount.bytes(), -1, TRUNCATED, std::nullopt},
        // Found before anything is written: the literal bytes are counted
        // against the file, the records against the declared output size.
        {"literal one byte short", shortLiteral.bytes(), -1, TRUNCATED, std::nullopt},
        {"records write past the output size", wrapped.bytes(), 1, PAST_OUTPUT, std::nullopt},
        {"copies amplify a small delta", amplified.bytes(), 1, PAST_OUTPUT, std::nullopt},
        {"copy beyond the reference", DeltaBuilder().record(30, "", 10).bytes(), -1,
         REFERENCE_ERROR, "uvwxyz"},
        {"move past the end, then copy", DeltaBuilder().record(40, "q", 1).bytes(), -1,
         REFERENCE_ERROR, "q"},
        {"move before the start", DeltaBuilder().record(0, "ab", 2).record(-5, "", 3).bytes(), -1,
         REFERENCE_ERROR, "ab01"},
    };
}

}  // namespace

TEST(SegdiffApply, Cases) {
    ScratchDir dir;
    for (const Case& c : cases()) {
        Applied a = runApplier(dir, c.delta);
        EXPECT_EQ(a.result, c.result) << c.name;
        EXPECT_EQ(a.message, c.message) << c.name;
        EXPECT_EQ(a.output, c.output) << c.name;
    }
}

TEST(SegdiffApply, OpenFailuresNameTheFile) {
    ScratchDir dir;
    std::string delta = DeltaBuilder().trailing("x").bytes();
    writeFile(dir / "delta", delta);
    writeFile(dir / "reference", REFERENCE);
    struct OpenCase {
        std::string reference, output, delta, message;
    } openCases[] = {
        {dir / "reference", dir / "out", dir / "nodelta",
         "cannot open patchfile (" + dir / "nodelta" + ")\n"},
        {dir / "noref", dir / "out", dir / "delta",
         "cannot open reference file (" + dir / "noref" + ")\n"},
        {dir / "reference", dir / "no/dir/out", dir / "delta",
         "cannot open output file (" + dir / "no/dir/out" + ")\n"},
    };
    for (const OpenCase& c : openCases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(applySegdiffPatch(c.reference, c.output, c.delta), 1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
    }
    EXPECT_FALSE(exists(dir / "out"));
}

// Long copies and literals (many blocks each) in both directions over a
// reference too large for one buffer.
TEST(SegdiffApply, RebuildsALargeFile) {
    ScratchDir dir;
    std::string reference = randomBytes(3 << 20, 11);
    std::string literal = randomBytes(5000, 12);
    DeltaBuilder d;
    std::string expected;
    int64_t position = 0;
    auto add = [&](int32_t skip, size_t literalLength, uint32_t copy) {
        std::string lit = literal.substr(0, literalLength);
        d.record(skip, lit, copy);
        position += skip;
        expected += lit + reference.substr(static_cast<size_t>(position), copy);
        position += copy;
    };
    add(0, 0, 100000);
    add(2 << 20, 1025, 70000);
    add(-(2 << 20), 5000, 1024);
    add(-1024, 1, 1023);
    add(1, 0, 1);
    d.trailing("tail");
    expected += "tail";
    Applied a = runApplier(dir, d.bytes(), reference);
    EXPECT_EQ(a.result, 0) << a.message;
    ASSERT_TRUE(a.output);
    EXPECT_TRUE(*a.output == expected);
}
