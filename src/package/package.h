// Package compression: every kind of package the tool knows, in one table,
// with what each kind needs to be unpacked, characterised by the maker and
// recompressed by the rebuild; the package record; the gzip level search
// and the compression probes.
//
// The kinds (the codes are stored in patches as oldKind / newKind):
//
//   code  name       endings         newParams                     blocks
//   0     tar        (anything else) carries no meaning            delta
//   1     bzip2      bz2             block size, release bits      delta
//   2     gzip       gz              GNU gzip level 1-9            delta, fixup
//   7     bzip2_old  (none)          level 1-9 (bits 0-3)          delta
//   16    gzip_zlib  (none)          zlib settings (src/gzip)      delta, params
//   17    gzip_rsync (none)          GNU gzip --rsyncable level    delta, params
//   18    gzip_pigz  (none)          pigz settings (src/gzip)      delta, params
//   23    gzip_recon (none)          zero                          delta, params (record)
//   24    xz         .tar.xz .txz    xz settings (xz/xz.h)         delta, parameter block
//   25    zstd       .tar.zst .tzst  zstd settings (zstd/zstd.h)   delta, parameter block
//
// Endings are matched in table order, then the refused endings ("zip",
// "lzw", ".Z" end the run), then a plain tar. docs/patch-format.md gives
// the byte layouts; the rows are in kinds.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "stream/stream.h"

// ---- Kind codes ----------------------------------------------------------

constexpr uint32_t KIND_TAR = 0;
constexpr uint32_t KIND_BZIP2 = 1;
constexpr uint32_t KIND_GZIP = 2;
constexpr uint32_t KIND_BZIP2_OLD = 7;  // read only: recompressed by "bzip2_old"
// Gzip packages that no GNU gzip level reproduces, by the encoder that does
// (src/gzip): a "gz" package becomes one of these when the maker finds it.
constexpr uint32_t KIND_GZIP_ZLIB = 16;
constexpr uint32_t KIND_GZIP_RSYNCABLE = 17;
constexpr uint32_t KIND_GZIP_PIGZ = 18;
// Gzip packages that no encoder reproduces, rebuilt by deflate reconstruction
// from a record in the parameter block (src/gzip, src/deflate).
constexpr uint32_t KIND_GZIP_RECON = 23;
constexpr uint32_t KIND_XZ = 24;
constexpr uint32_t KIND_ZSTD = 25;

// Parameter block tags of the xz kind (values: u64 little-endian).
constexpr uint16_t PARAM_XZ_BLOCK_SIZE = 0x8200;  // multi-threaded block size
constexpr uint16_t PARAM_XZ_DICT_SIZE = 0x8201;   // LZMA2 dictionary other than the preset's
constexpr uint16_t PARAM_XZ_FLUSH_SIZE = 0x8202;  // single-threaded: bytes per block (a full flush after each)

// ---- The package record --------------------------------------------------

// One package while a patch is made or applied.
struct PackageInfo {
    std::string directory;  // prefix: empty or ending in "/"
    std::string fileName;
    std::string tarPath;    // workspace path of the package as a plain tar
    uint32_t kind = 0;      // a kind code
    uint32_t params = 0;    // newParams of a new package
    std::string fixupPath;  // workspace path of the gzip fixup, or empty
    std::string paramBlockPath;  // workspace path of the parameter block, or empty
    bool hasMd5 = false;
    Md5Digest md5{};

    std::string fullPath() const { return directory + fileName; }
};

// What the maker learnt about how the new package was compressed.
struct Characterisation {
    uint32_t kind = KIND_TAR;    // the code recorded as newKind
    uint32_t params = 0;         // newParams
    std::string fixupPath;       // workspace file holding the fixup block, or empty
    std::string paramBlockPath;  // workspace file holding the parameter block, or empty
};

// ---- The kind table ------------------------------------------------------

struct PackageKind {
    uint32_t code;
    const char* name;
    // File-name endings that choose this kind, ended by nullptr; nullptr for
    // a kind that only a recorded code chooses.
    const char* const* endings;
    // Unpacks the package file into a plain tar at `tar`; true on success.
    // nullptr: packages of this kind cannot be unpacked.
    bool (*decompress)(const std::string& package, const std::string& tar);
    // Maker: works out how the new package (its tarPath unpacked) was made
    // and fills `out`. fixupPath is a workspace name the pipeline reserved
    // for a fixup block; a kind that makes one writes it there and sets
    // out.fixupPath to it. Ends the run with the kind's error when nothing
    // reproduces the package.
    void (*characterise)(const PackageInfo& newPackage, const std::string& fixupPath,
                         Characterisation& out);
    // Rebuild: compresses package.tarPath into `output` as recorded
    // (params, paramBlockPath). The rebuild then applies the fixup, if any,
    // and checks the digest. False, with the reason reported, when it
    // cannot; a kind whose tools are missing may end the run.
    bool (*recompress)(const PackageInfo& package, const std::string& output);
};

// The row of a code, or nullptr for a code this reader does not know.
const PackageKind* findKind(uint32_t code);

// The row chosen by a file name's ending. Ends the run for the refused
// endings ("zip files are unsupported (pardon the pun!)", "lzw files are not
// supported", ".Z compression not supported").
const PackageKind& kindForFileName(const std::string& fileName);

bool endsWith(const std::string& text, const std::string& ending);

// ---- newParams packing ---------------------------------------------------

// The level digit '1'..'9' of a gzip or bzip2_old word (or a bzip2 word's
// block size): (params AND 0xF) OR 0x30.
inline char paramsLevelDigit(uint32_t params) {
    return static_cast<char>((params & 0xF) | 0x30);
}

// bzip2: bits 0-7 the block-size digit's value, then two release bits per
// slot from the top, slot 0 highest (tested, then works).
constexpr uint32_t BZIP2_TESTED(int slot) { return 0x80000000u >> (2 * slot); }
constexpr uint32_t BZIP2_WORKS(int slot) { return 0x40000000u >> (2 * slot); }
inline uint32_t bzip2Params(int blockSize, uint32_t releaseBits) {
    return (static_cast<uint32_t>(blockSize) & 0xFF) | releaseBits;
}

// ---- Unpacking -----------------------------------------------------------

// Gives the record a fresh workspace tarPath and unpacks fullPath() into it.
// Sets kind from the file-name ending; true when the decompressor succeeded.
bool unpack(PackageInfo& package);

// Unpacks an old package of a patch the way the maker did: a package
// recorded as a plain tar is taken as it is whatever its name (a package
// that no setting could reproduce travels as its compressed bytes);
// otherwise as unpack().
bool unpackRecorded(PackageInfo& package, uint32_t recordedKind);
// As unpackRecorded, into the tarPath the record already has.
bool unpackRecordedInto(PackageInfo& package, uint32_t recordedKind);

// Decides the kind from the ending, stores it in kind, then decompresses.
bool unpackPackage(const std::string& packagePath, const std::string& destination,
                   uint32_t& kind);

// Shows the progress step of unpacking the package while `wait` runs: for
// an unpacking done beside the main thread, whose own step is not shown.
bool showUnpacking(const std::string& packagePath, const std::function<bool()>& wait);

// Decompresses with the row of the code; false for codes without a
// decompressor.
bool decompressToFile(uint32_t kind, const std::string& source, const std::string& destination);

// ---- Gzip ------------------------------------------------------------------

// Length of the gzip header that the stream starts with (fixed part, extra
// field, name, comment, header CRC), read from the stream, or -1 when the
// stream ends inside it. Published packages are read in the order of RFC
// 1952. GNU gzip's own output, whose header the rebuild drops, is walked in
// the order of the flag bits, as the format has always done it: the bit
// 0x02 (once a continuation part number, now the header CRC) first and the
// reserved bit 0x20 as two more bytes. gzip never sets either bit, so both
// walks agree on everything it writes.
enum GzipFieldOrder { GZIP_FIELDS_RFC1952, GZIP_FIELDS_IN_FLAG_ORDER };
int64_t gzipHeaderLength(IStream& in, GzipFieldOrder order);
// The RFC 1952 length for the file at path; -1 also when the file does not
// start with the gzip magic.
int64_t gzipHeaderLength(const std::string& path);

constexpr char GZIP_LEVEL_ORDER[] = "968712534";
constexpr uint32_t FIXUP_LIMIT = 1024;

// Compresses the tar with GNU gzip at the level digit and writes everything
// after the gzip header to outputPath. False only when no GNU gzip is known
// (nothing written then). A compression that failed (gzip's status, or the
// copy) and an output too short to hold its header leave an empty
// outputPath.
bool recompressGzipHeaderless(const std::string& tarPath, const std::string& outputPath,
                              char levelDigit);

// Tries the levels of GZIP_LEVEL_ORDER until the fixup delta from the
// headerless recompression to the package is at most FIXUP_LIMIT bytes; the
// accepted fixup stays in fixupPath, the scratch file is removed. Returns the
// level 1-9. Ends the run with "Can't find GNU gzip" or "Unknown gzip
// compression format".
// As findGzipLevel, but returns 0 instead of ending the run when no level
// reproduces the package.
int searchGzipLevel(const std::string& newTarPath, const std::string& newPackagePath,
                    const std::string& scratchPath, const std::string& fixupPath,
                    bool useSegdiff);
int findGzipLevel(const std::string& newTarPath, const std::string& newPackagePath,
                  const std::string& scratchPath, const std::string& fixupPath, bool useSegdiff);

// ---- Bzip2 -----------------------------------------------------------------

// Tries every discovered bzip2 release (slot 0 up) on the new tar at the
// package's block size and returns the BZIP2_TESTED / BZIP2_WORKS bits for
// the parameter word. scratchPath is a workspace name the trial may use.
uint32_t testBzip2Releases(const std::string& newTarPath, const std::string& newPackagePath,
                           int blockSize, const std::string& scratchPath);

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
