// Delta engines: the command lines of the external delta programs (xdelta,
// and our own segdiff maker), and the built-in applier of segdiff deltas.
#pragma once

#include <cstdint>
#include <string>

enum DeltaResult { APPLY_OK = 0, APPLY_FAILED = 1, APPLY_BAD_FORMAT = 2 };

// Writes a delta from oldPath to newPath into deltaPath with segdiff (when
// useSegdiff) or "xdelta delta -0 --pristine". Returns the wait status.
int makeDelta(bool useSegdiff, const std::string& oldPath, const std::string& newPath,
              const std::string& deltaPath);

// Rebuilds outputPath from referencePath and the delta, chosen by the delta's
// leading bytes: "SGD" goes to the built-in applier, "%XDZ" to "xdelta patch";
// anything else is APPLY_BAD_FORMAT and nothing runs.
DeltaResult applyDelta(const std::string& referencePath, const std::string& outputPath,
                       const std::string& deltaPath);

// True when "cmp FIRST SECOND" exits 0.
bool filesIdentical(const std::string& first, const std::string& second);

// ---- segdiff delta format ----------------------------------------------
// Header (18 bytes): "SGD", u16 version 1, u8 pointer size 4, u32 (old size,
// ignored by readers), u32 output size, u32 record count N. Then N records of
// three u32 (signed skip, literal length, copy length), then the literal
// bytes of all records in order, then the trailing literal: the output bytes
// that no record accounts for.
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

// Applies a segdiff delta. Returns 0 when the output was rebuilt, 1 when a
// file cannot be opened or the header is not acceptable, -1 when data ran out
// (also for a delta that ends inside its header or record table). Messages go
// to standard output.
int applySegdiffPatch(const std::string& referencePath, const std::string& outputPath,
                      const std::string& deltaPath);
