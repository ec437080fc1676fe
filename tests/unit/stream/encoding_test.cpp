// Little-endian integers, length-prefixed strings and exact-count copies.
#include <gtest/gtest.h>

#include "memory_streams.h"
#include "stream/stream.h"
#include "test_support.h"

using testsupport::MemoryIStream;
using testsupport::MemoryOStream;

TEST(Encoding, IntegersAreLittleEndianAndRoundTrip) {
    struct Case {
        uint32_t value;
        std::string bytes;
    } cases[] = {
        {0x01020304u, std::string("\x04\x03\x02\x01", 4)},
        {0, std::string(4, '\0')},
        {0xFFFFFFFFu, std::string(4, '\xff')},
        {0x8000007Fu, std::string("\x7f\x00\x00\x80", 4)},
    };
    for (const Case& c : cases) {
        MemoryOStream out32;
        writeU32(out32, c.value);
        EXPECT_EQ(out32.data, c.bytes) << std::hex << c.value;
        MemoryIStream in32(c.bytes);
        EXPECT_EQ(readU32(in32), c.value);

        uint16_t low = static_cast<uint16_t>(c.value);
        MemoryOStream out16;
        writeU16(out16, low);
        EXPECT_EQ(out16.data, c.bytes.substr(0, 2));
        MemoryIStream in16(out16.data);
        EXPECT_EQ(readU16(in16), low);
    }
}

TEST(Encoding, IntegersReadPastTheEndTakeZeros) {
    struct Case {
        std::string bytes;
        uint32_t u32;
    } cases[] = {
        {"", 0},
        {"\x34", 0x34},
        {"\x01\x02\x03", 0x030201},
    };
    for (const Case& c : cases) {
        MemoryIStream in(c.bytes);
        EXPECT_EQ(readU32(in), c.u32) << c.bytes.size() << " bytes";
        EXPECT_EQ(readU16(in), 0);
    }
}

TEST(Encoding, StringsRoundTrip) {
    for (size_t length : {0, 1, 255, 256, 65535}) {
        std::string s = testsupport::sourceLikeText(length, static_cast<unsigned>(length));
        MemoryOStream out;
        writeString(out, s);
        ASSERT_EQ(out.data.size(), length + 2);
        EXPECT_EQ(static_cast<unsigned char>(out.data[0]), length & 0xFF);
        EXPECT_EQ(static_cast<unsigned char>(out.data[1]), length >> 8);
        MemoryIStream in(out.data + "tail");
        EXPECT_EQ(readString(in), s);
        EXPECT_EQ(in.rest(), "tail");
    }
}

TEST(Encoding, ReadStringStopsAtZeroByteAndAtTheEnd) {
    // The whole counted run is consumed even when a zero byte cuts the text.
    MemoryIStream withZero(std::string("\x05\x00" "ab\0cdNEXT", 11));
    EXPECT_EQ(readString(withZero), "ab");
    EXPECT_EQ(withZero.rest(), "NEXT");

    MemoryIStream shortRun(std::string("\x05\x00" "abc", 5));
    EXPECT_EQ(readString(shortRun), "abc");
}

TEST(CopyBytes, BlockRules) {
    struct Case {
        size_t inputSize;
        uint32_t count;
        bool ok;
        size_t copied;
        std::vector<uint32_t> requests;
    } cases[] = {
        {1024, 1024, true, 1024, {1024}},
        {1024, 1025, false, 1024, {1024, 1}},
        {0, 0, true, 0, {0}},
        {10, 0, true, 0, {0}},
        {3000, 2500, true, 2500, {1024, 1024, 452}},
        {3000, 0xFFFFFFFFu, false, 3000, {1024, 1024, 1024}},
        {2048, 0xFFFFFFFFu, false, 2048, {1024, 1024, 1024}},
        {100, 50, true, 50, {50}},
    };
    for (const Case& c : cases) {
        std::string input = testsupport::randomBytes(c.inputSize, 7);
        MemoryIStream in(input);
        MemoryOStream out;
        EXPECT_EQ(copyBytes(in, out, c.count), c.ok) << c.inputSize << "/" << c.count;
        EXPECT_EQ(out.data, input.substr(0, c.copied));
        EXPECT_EQ(in.requests, c.requests) << c.inputSize << "/" << c.count;
    }
}

TEST(CopyBytes, ShortReadOrShortWriteFails) {
    // A source that delivers less than a block at a time counts as ended.
    MemoryIStream pieces(std::string(3000, 'x'), 100);
    MemoryOStream out;
    EXPECT_FALSE(copyBytes(pieces, out, 300));
    EXPECT_EQ(out.data.size(), 100u);

    MemoryIStream in(std::string(3000, 'y'));
    MemoryOStream full(1500);
    EXPECT_FALSE(copyBytes(in, full, 3000));
    EXPECT_EQ(full.data, std::string(1500, 'y'));
}
