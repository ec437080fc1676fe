// The segdiff delta format, shared by the maker (tools/segdiff) and the
// built-in applier. All integers little-endian.
//
//   offset  size  field
//   0       3     magic "SGD"
//   3       2     u16 version 1
//   5       1     u8 pointer size 4
//   6       4     u32 size of OLD (written, never read back)
//   10      4     u32 output size (size of NEW)
//   14      4     u32 record count N
//   18      12*N  records: i32 skip, u32 literal length, u32 copy length
//   ...           the literal bytes of all records, in record order
//   ...           the trailing literal: output bytes no record accounts for
//
// Each record takes its literal bytes, moves the read position in OLD by
// its skip (counted from the end of the previous copy) and copies from
// there. The records' lengths together never exceed the output size (the
// applier refuses such a delta before writing). Every size and length is 32
// bits wide, so inputs stay below 4 GiB.
#pragma once

#include <cstdint>

constexpr char SEGDIFF_MAGIC[] = "SGD";
constexpr uint16_t SEGDIFF_VERSION = 1;
constexpr uint8_t SEGDIFF_POINTER_SIZE = 4;
constexpr uint32_t SEGDIFF_HEADER_SIZE = 18;
constexpr uint32_t SEGDIFF_RECORD_SIZE = 12;

struct SegdiffHeader {
    uint16_t version;
    uint8_t pointerSize;
    uint32_t oldSize;
    uint32_t outputSize;
    uint32_t recordCount;
};

struct SegdiffRecord {
    int32_t skip;           // move of the reference position before the copy
    uint32_t literalLength; // bytes taken next from the literal data
    uint32_t copyLength;    // bytes copied from the reference after the move
};
