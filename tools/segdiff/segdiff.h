// segdiff: writes a delta that turns OLD into NEW, in the segdiff format that
// pakrev's built-in applier reads (delta/segdiff_format.h holds the layout).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "delta/segdiff_format.h"

namespace segdiff {

// Both inputs must be smaller than 4 GiB: every size and length in the
// format is 32 bits wide.
constexpr uint64_t MAX_INPUT_SIZE = 0xFFFFFFFFull;

// The format's facts under the maker's short names.
constexpr const char* MAGIC = SEGDIFF_MAGIC;
constexpr uint16_t FORMAT_VERSION = SEGDIFF_VERSION;
constexpr uint8_t POINTER_SIZE = SEGDIFF_POINTER_SIZE;
constexpr uint32_t HEADER_SIZE = SEGDIFF_HEADER_SIZE;
constexpr uint32_t RECORD_SIZE = SEGDIFF_RECORD_SIZE;

// ---- Fatal errors and the output file ----------------------------------

// Prints "segdiff: <message>" on standard error, removes the unfinished
// delta (if any) and exits with status 1.
[[noreturn]] void fail(const std::string& message);

// The output is written under a temporary name beside its final name and
// renamed into place only when complete, so a failed or interrupted run
// never leaves a partial delta under the final name.
struct OutputFile {
    int fd = -1;
    std::string finalPath;
    std::string tempPath;
};

// Creates the temporary file and arms its removal on fail() and on SIGINT,
// SIGTERM, SIGHUP, SIGQUIT and SIGPIPE.
void openOutput(OutputFile& out, const std::string& finalPath);
// Writes all bytes at the given offset, or fails.
void writeAt(const OutputFile& out, uint64_t offset, const void* data, size_t size);
// Reads bytes written earlier back from the output, or fails.
void readAt(const OutputFile& out, uint64_t offset, void* data, size_t size);
// Closes the temporary file and renames it to the final name, or fails.
void commitOutput(OutputFile& out);

// ---- Inputs -------------------------------------------------------------

// A whole input file mapped read-only into memory.
struct InputFile {
    std::string path;
    const uint8_t* data = nullptr;
    uint64_t size = 0;
};

// Maps the file, or fails with a message naming it (missing, unreadable,
// not a regular file, 4 GiB or larger).
void mapInput(InputFile& in, const std::string& path);
void unmapInput(InputFile& in);
// Hints that [begin, end) will not be read again soon and lets the system
// drop those pages from our resident set; reading them later still works.
void releaseRange(const InputFile& in, uint64_t begin, uint64_t end);

// ---- Delta writer -------------------------------------------------------

// Turns a sequence of copies, in increasing order of their position in NEW,
// into records. Everything in NEW between two copies becomes literal data.
struct DeltaWriter {
    OutputFile* out = nullptr;
    uint64_t recordCount = 0;
    uint64_t covered = 0;    // NEW position after the last record
    uint64_t readPos = 0;    // OLD position after the last copy
    std::string pending;     // encoded records not yet written
};

void startDelta(DeltaWriter& writer, OutputFile& out);
// Adds a copy of length bytes from OLD at oldStart to NEW at newStart
// (newStart >= the end of the previous copy, length > 0). A move in OLD that
// does not fit a signed 32-bit skip is split over extra empty records.
void addCopy(DeltaWriter& writer, uint64_t newStart, uint64_t oldStart, uint64_t length);
// Writes the literal data and the header. What follows the last copy is
// left to the implicit trailing literal, which costs no record.
void finishDelta(DeltaWriter& writer, const InputFile& oldFile, const InputFile& newFile);

// ---- Block index over OLD ---------------------------------------------

// Blocks of BLOCK_SIZE bytes taken every INDEX_STRIDE bytes of OLD are
// hashed into a table of positions, one position per slot (a later block
// takes the slot of an earlier one). Any stretch of NEW that also occurs in
// OLD and is at least BLOCK_SIZE + INDEX_STRIDE - 1 = 63 bytes long contains
// a whole indexed block, so the index finds it wherever it lies in OLD; the
// matcher wants no shorter copies from the index anyway. Building the index
// is dominated by its scattered stores: halving the stride from 32 to 16
// doubles the time of a whole run on kernel-sized tars and saves only about
// 1 % of the compressed delta. The table has two slots per block and so
// takes a quarter of OLD's size in memory.
constexpr uint32_t BLOCK_SIZE = 32;
constexpr uint32_t INDEX_STRIDE = 32;
constexpr uint32_t EMPTY_SLOT = 0xFFFFFFFFu;

// Slots hold an OLD position plus one, so that the zero pages of a fresh
// allocation read as empty and need no filling.
struct BlockIndex {
    uint32_t* slots = nullptr;
    uint64_t slotCount = 0;

    BlockIndex() = default;
    BlockIndex(const BlockIndex&) = delete;
    BlockIndex& operator=(const BlockIndex&) = delete;
    ~BlockIndex();
};

// Polynomial hash of BLOCK_SIZE bytes, sum of p[k] * HASH_BASE^(BLOCK_SIZE-1-k),
// and its update when the block moves one byte forward (drop `out` at the
// front, append `in` at the back).
constexpr uint64_t HASH_BASE = 0x9E3779B97F4A7C15ull;
constexpr uint64_t hashBasePower(uint32_t n) {
    uint64_t p = 1;
    for (uint32_t k = 0; k < n; ++k) p *= HASH_BASE;
    return p;
}
inline uint64_t hashBlock(const uint8_t* p) {
    static_assert(BLOCK_SIZE == 32, "four lanes of eight bytes");
    // Horner's rule in four independent lanes, joined at the end.
    uint64_t a = 0, b = 0, c = 0, d = 0;
    for (int k = 0; k < 8; ++k) {
        a = a * HASH_BASE + p[k];
        b = b * HASH_BASE + p[8 + k];
        c = c * HASH_BASE + p[16 + k];
        d = d * HASH_BASE + p[24 + k];
    }
    constexpr uint64_t lane = hashBasePower(8);
    return ((a * lane + b) * lane + c) * lane + d;
}
inline uint64_t rollHash(uint64_t h, uint8_t out, uint8_t in) {
    constexpr uint64_t dropped = hashBasePower(BLOCK_SIZE);
    return h * HASH_BASE + in - out * dropped;
}
inline uint64_t slotOf(const BlockIndex& index, uint64_t h) {
    uint64_t x = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
    return ((x >> 32) * index.slotCount) >> 32;
}
// The OLD position of an indexed block with this hash, or EMPTY_SLOT.
inline uint32_t findBlock(const BlockIndex& index, uint64_t h) {
    return index.slots[slotOf(index, h)] - 1;
}

void buildIndex(BlockIndex& index, const InputFile& oldFile);

// ---- Matcher ------------------------------------------------------------

struct MatchStats {
    uint64_t copies = 0;
    uint64_t copiedBytes = 0;
    uint64_t resumed = 0;  // copies found on a recently used diagonal
};

// Finds the copies that rebuild NEW from OLD and hands them to the writer.
MatchStats findCopies(const InputFile& oldFile, const InputFile& newFile, DeltaWriter& writer);

}  // namespace segdiff
