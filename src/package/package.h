// Package compression: the package record, unpacking a package to a plain
// tar by its file-name ending, and the gzip level search that makes a gzip
// package reproducible.
#pragma once

#include <cstdint>
#include <string>

#include "stream/stream.h"

// One package while a patch is made or applied.
struct PackageInfo {
    std::string directory;  // prefix: empty or ending in "/"
    std::string fileName;
    std::string tarPath;    // workspace path of the package as a plain tar
    uint32_t kind = 0;      // KIND_TAR, KIND_BZIP2, KIND_GZIP, KIND_BZIP2_OLD
    uint32_t params = 0;    // newParams of a new package
    std::string fixupPath;  // workspace path of the gzip fixup, or empty
    bool hasMd5 = false;
    Md5Digest md5{};

    std::string fullPath() const { return directory + fileName; }
};

bool endsWith(const std::string& text, const std::string& ending);

// Gives the record a fresh workspace tarPath and unpacks fullPath() into it.
// Sets kind from the file-name ending; true when the decompressor succeeded.
bool unpack(PackageInfo& package);

// Decides the kind from the ending ("bz2", "gz"; "zip", "lzw", ".Z" end the
// run; anything else is a plain tar), stores it in kind, then decompresses.
bool unpackPackage(const std::string& packagePath, const std::string& destination,
                   uint32_t& kind);

// bunzip2 / gunzip / cat into the destination; false for other kinds.
bool decompressToFile(uint32_t kind, const std::string& source, const std::string& destination);

// ---- Gzip parameter recovery --------------------------------------------

constexpr char GZIP_LEVEL_ORDER[] = "968712534";
constexpr uint32_t FIXUP_LIMIT = 1024;

// Compresses the tar with GNU gzip at the level digit and writes everything
// after the gzip header to outputPath. False only when no GNU gzip is known
// (nothing written then). An output too short to hold its header leaves an
// empty outputPath.
bool recompressGzipHeaderless(const std::string& tarPath, const std::string& outputPath,
                              char levelDigit);

// Tries the levels of GZIP_LEVEL_ORDER until the fixup delta from the
// headerless recompression to the package is at most FIXUP_LIMIT bytes; the
// accepted fixup stays in fixupPath, the scratch file is removed. Returns the
// level 1-9. Ends the run with "Can't find GNU gzip" or "Unknown gzip
// compression format".
int findGzipLevel(const std::string& newTarPath, const std::string& newPackagePath,
                  const std::string& scratchPath, const std::string& fixupPath, bool useSegdiff);

// ---- Compression probes ---------------------------------------------------
// Before a full compression of a large tar is paid for, a probe compresses a
// bounded prefix and rules out a gzip level or a bzip2 release that cannot
// reproduce the package. A probe only ever skips attempts that would fail;
// the level or release chosen is the one the full search would choose.
// Tars too small for a probe take the full path.
struct ProbeSettings {
    bool enabled = true;
    uint32_t gzipInput = 2u << 20;  // tar bytes a gzip probe compresses
};
extern ProbeSettings probeSettings;

// True when the headerless recompression of the tar's first gzipInput bytes
// at `levelDigit`, cut after its last complete deflate block, already needs
// a fixup over FIXUP_LIMIT bytes against the same stretch of the package's
// data (made with the chosen delta tool). Complete blocks of a prefix are
// the blocks a full compression begins with; only the last block of the
// prefix ends early.
bool gzipProbeRulesOut(const std::string& tarPath, const std::string& packagePath,
                       char levelDigit, bool useSegdiff);

// True when `program` compresses the tar's first two blocks' worth into a
// first block that differs from the package's first block. bzip2 blocks are
// independent, so such a program cannot reproduce the package.
bool bzip2ProbeRulesOut(const std::string& program, int blockSize, const std::string& tarPath,
                        const std::string& packagePath);

// Byte length of the complete deflate blocks at the start of a raw deflate
// stream (the bytes before the start of the last block), or 0 when the
// stream cannot be read that far.
uint64_t completeDeflateBlocks(const std::string& path);

// Length of the gzip header at the start of the file (fixed part, extra
// field, name, comment, header CRC), or -1 when it cannot be read.
int64_t gzipHeaderLength(const std::string& path);

