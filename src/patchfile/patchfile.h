// The patch file format: header, entries, kinds, flags and the bzip2
// release bits, as written by the maker and read by the applier.
#pragma once

#include <cstdint>
#include <string>

#include "stream/stream.h"

constexpr char PATCH_MAGIC[] = "PRV";      // three bytes, no terminator on disk
constexpr uint16_t PATCH_VERSION = 4;

// Package kinds (oldKind / newKind).
constexpr uint32_t KIND_TAR = 0;
constexpr uint32_t KIND_BZIP2 = 1;
constexpr uint32_t KIND_GZIP = 2;
constexpr uint32_t KIND_BZIP2_OLD = 7;
bool isSupportedKind(uint32_t kind);       // 0, 1, 2 or 7

// Flag word.
constexpr uint32_t FLAG_GZIP_FIXUP = 1;
constexpr uint32_t FLAG_OLD_MD5_OF_TAR = 2;

// Bzip2 release bits in newParams: two per slot, slot 0 highest.
constexpr uint32_t BZIP2_TESTED(int slot) { return 0x80000000u >> (2 * slot); }
constexpr uint32_t BZIP2_WORKS(int slot) { return 0x40000000u >> (2 * slot); }

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
    std::string deltaPath;   // file holding the delta block
    std::string fixupPath;   // file holding the fixup block (FLAG_GZIP_FIXUP)
};

struct PatchHeader {
    uint16_t version = 0;
    uint16_t entryCount = 0;
};

// Writes "PRV" and the u16 version 4.
void writePatchHeader(OStream& out);

// Reads and checks the header. Ends the run with "Invalid patch file" when
// the magic is wrong and with "Cannot read package format.  Upgrade pakrev"
// for versions above 4. Version 1 passes; the caller refuses it.
PatchHeader readPatchHeader(IStream& in);

// Writes one version 4 entry; the blocks are copied from entry.deltaPath and,
// with FLAG_GZIP_FIXUP, entry.fixupPath. False when a block could not be read
// whole or written.
bool writePatchEntry(OStream& out, const PatchEntry& entry);

// Reading one entry happens in three steps, so the applier can take its
// workspace names in between: the names (and, for version 4, the digests),
// then the kinds, parameters and flags, then the blocks.
void readEntryNames(IStream& in, uint16_t version, PatchEntry& entry);
void readEntryParams(IStream& in, PatchEntry& entry);

// Copies the delta block into entry.deltaPath and, with FLAG_GZIP_FIXUP, the
// fixup block into entry.fixupPath (the caller names both; the files are
// created here). Returns false when the entry is broken: a zero block length
// or a block that ends early. The fixup length is read even when the delta
// was already short.
bool readEntryBlocks(IStream& in, PatchEntry& entry);
