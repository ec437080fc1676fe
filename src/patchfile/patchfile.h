// The patch file format: header, entries, flags, blocks and the parameter
// block, as written by the maker and read by the applier. The package kinds
// and their newParams layouts are in package/package.h; docs/patch-format.md
// describes all of it for someone who implements a reader.
//
// All integers little-endian; a string is a u16 byte count and its bytes.
//
//   Header
//     0   3  magic "PRV"
//     3   2  u16 version: 4 is written; 0, 2, 3 are read; 1 and > 4 refused
//     5   2  u16 entry count, only in version 2 (otherwise one entry)
//
//   Entry (repeated entry-count times)
//         string   oldName
//         16       oldMd5           version 4 only
//         string   newName
//         16       newMd5           version 4 only
//         u16      oldKind
//         u16      newKind
//         u32      newParams        layout by newKind
//         u32      flags
//         u32 + N  delta block
//         u32 + N  fixup block      with FLAG_GZIP_FIXUP
//         u32 + N  parameter block  with FLAG_PARAM_BLOCK
//
//   Parameter block: fields, each u16 tag, u32 length, length bytes. A tag
//   with PARAM_CRITICAL set must be understood to rebuild the package; a
//   reader skips the other tags it does not know.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "stream/stream.h"

constexpr char PATCH_MAGIC[] = "PRV";      // three bytes, no terminator on disk
constexpr uint16_t PATCH_VERSION = 4;

// Flag word.
constexpr uint32_t FLAG_GZIP_FIXUP = 1;
constexpr uint32_t FLAG_OLD_MD5_OF_TAR = 2;
constexpr uint32_t FLAG_PARAM_BLOCK = 4;

// The largest block or package the 32-bit length fields can record.
constexpr uint64_t PATCH_BLOCK_MAX = 0xFFFFFFFFull;

// One old-to-new step, as stored (blocks are named by workspace paths).
struct PatchEntry {
    std::string oldName;
    Md5Digest oldMd5{};
    std::string newName;
    Md5Digest newMd5{};
    uint16_t oldKind = 0;
    uint16_t newKind = 0;
    uint32_t newParams = 0;
    uint32_t flags = 0;
    std::string deltaPath;       // file holding the delta block
    std::string fixupPath;       // file holding the fixup block (FLAG_GZIP_FIXUP)
    std::string paramBlockPath;  // file holding the parameter block (FLAG_PARAM_BLOCK)
};

struct PatchHeader {
    uint16_t version = 0;
    uint16_t entryCount = 0;
};

enum HeaderStatus { HEADER_OK = 0, HEADER_BAD_MAGIC = 1, HEADER_TOO_NEW = 2, HEADER_TRUNCATED = 3 };

// Writes "PRV" and the u16 version 4.
void writePatchHeader(OStream& out);

// Reads the header into `header` and checks it: HEADER_BAD_MAGIC when the
// magic is not "PRV", HEADER_TOO_NEW for versions above 4 (the caller says
// "Invalid patch file" and "Cannot read package format.  Upgrade pakrev"),
// HEADER_TRUNCATED when the stream ends inside the version or the entry
// count. Version 1 passes; the caller refuses it.
HeaderStatus readPatchHeader(IStream& in, PatchHeader& header);

// Writes one version 4 entry; the blocks are copied from entry.deltaPath
// and, as the flags announce them, entry.fixupPath and entry.paramBlockPath.
// False when a block could not be read whole or written.
bool writePatchEntry(OStream& out, const PatchEntry& entry);

// Reading one entry happens in three steps, so the applier can take its
// workspace names in between: the names (and, for version 4, the digests),
// then the kinds, parameters and flags, then the blocks.
void readEntryNames(IStream& in, uint16_t version, PatchEntry& entry);
void readEntryParams(IStream& in, PatchEntry& entry);

// Copies the delta block into entry.deltaPath and, as the flags announce
// them, the fixup block into entry.fixupPath and the parameter block into
// entry.paramBlockPath (the caller names them; the files are created here).
// BLOCKS_TRUNCATED when the entry is broken: a zero block length, a block
// that ends early, or a stream that reports damage (in.failed()).
// BLOCKS_WRITE_FAILED when a block file could not be created or written
// whole; writeError then holds the errno. Every announced length is read
// even when an earlier block was already short.
enum BlockStatus { BLOCKS_OK = 0, BLOCKS_TRUNCATED = 1, BLOCKS_WRITE_FAILED = 2 };
BlockStatus readEntryBlocks(IStream& in, PatchEntry& entry, int& writeError);

// ---- Parameter block -----------------------------------------------------

constexpr uint16_t PARAM_CRITICAL = 0x8000;
// Informational, any kind: the text name and version of the encoder
// library that reproduced the package ("liblzma 5.4.1").
constexpr uint16_t PARAM_ENCODER_VERSION = 0x0001;

struct ParamField {
    uint16_t tag = 0;
    std::string value;
};

// Writes the fields, in order, into a new file at path. False when it
// cannot be written.
bool writeParamBlock(const std::string& path, const std::vector<ParamField>& fields);

// Reads every field of the parameter block file at path. False when the
// file cannot be read or a field runs past its end.
bool readParamBlock(const std::string& path, std::vector<ParamField>& fields);

// The value of the first field with the tag, or nullptr.
const std::string* findParam(const std::vector<ParamField>& fields, uint16_t tag);

// Parameter blocks whose values are too large to hold in memory (a kind's
// record of several MB): a field names where its value lies in the file.
struct ParamFieldSpan {
    uint16_t tag = 0;
    uint64_t offset = 0;  // where the value starts in the block file
    uint32_t length = 0;
};

// As writeParamBlock, then one more field with `fileTag` whose value is the
// whole file at valuePath, copied without holding it in memory. False when a
// file cannot be read or written, or the value does not fit a u32 length.
bool writeParamBlockWithFile(const std::string& path, const std::vector<ParamField>& fields,
                             uint16_t fileTag, const std::string& valuePath);

// Walks every field of the parameter block file at path without reading
// the values. False as readParamBlock: the file cannot be read or a field
// runs past its end.
bool scanParamBlock(const std::string& path, std::vector<ParamFieldSpan>& fields);
