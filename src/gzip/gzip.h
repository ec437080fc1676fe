// Gzip encoders: finding which encoder and settings made a gzip package
// (zlib in process, GNU gzip --rsyncable, pigz) and making the same bytes
// again. A gzip file is split into its header, its body (the deflate data
// and the 8-byte CRC32/ISIZE trailer) and whatever follows the body. The
// encoders make bodies only; the header and anything after the body are
// recorded verbatim and put back around the body when a package is rebuilt.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "deflate/deflate.h"

// ---- Layout of a gzip file ----------------------------------------------

struct GzipLayout {
    std::string header;        // the header bytes (fixed part, extra, name, comment, CRC16)
    uint64_t bodyOffset = 0;   // where the deflate data begins (header.size())
    uint64_t bodyLength = 0;   // deflate data plus the 8-byte trailer
    uint64_t afterOffset = 0;  // bodyOffset + bodyLength
    uint64_t afterLength = 0;  // bytes after the first member's trailer
    bool severalMembers = false;  // the bytes after the first member begin a gzip header
};

// Reads the gzip file at path: parses the header and inflates the first
// member to find where its body ends. False when the file is not a gzip file
// whose first member is complete (bad magic, a header or deflate stream that
// ends early or does not decode, a trailer cut short).
bool readGzipLayout(const std::string& path, GzipLayout& layout);

// Header fields that hint at the encoder (bytes of GzipLayout::header).
struct GzipHeaderHints {
    int xfl = 0;            // extra flags byte: 2 slowest, 4 fastest
    int os = 255;           // operating system byte
    bool hasMtime = false;  // modification time not zero
    bool hasName = false;   // FNAME set
};
GzipHeaderHints headerHints(const std::string& header);

// ---- Deflate block structure ------------------------------------------

struct DeflateBlock {
    int type = 0;             // 0 stored, 1 fixed codes, 2 dynamic codes
    bool final = false;
    uint64_t start = 0;       // uncompressed offset where the block begins
    uint64_t uncompressed = 0;
    uint64_t symbols = 0;     // literals and matches (not the end code)
    uint64_t matches = 0;
    int maxDistance = 0;      // farthest match distance, 0 without matches
};

// Decodes the deflate blocks of the stream that starts `offset` bytes into
// the file and spans at most `length` bytes, up to maxBlocks blocks or the
// final one, into `blocks`. False when the stream is damaged or ends early
// (the blocks read so far stay in `blocks`).
bool scanDeflateBlocks(const std::string& path, uint64_t offset, uint64_t length,
                       size_t maxBlocks, std::vector<DeflateBlock>& blocks);

// What the first blocks say about the zlib settings that could have made
// them. Every rule only removes settings that cannot make those blocks.
struct DeflateEvidence {
    int memLevel = 0;         // the only possible memLevel, 0 when unknown
    int minMemLevel = 1;      // memLevels below cannot hold the first block
    int minWindowBits = 9;    // the farthest distance needs at least this window
    bool farMatches = false;  // a match farther than 1: not Huffman-only or RLE
    bool dynamicBlocks = false;  // a block with its own codes: not Z_FIXED
    // Uncompressed offset of the first empty stored block (a flush point),
    // or 0 when there is none among the blocks read.
    uint64_t firstFlush = 0;
    uint64_t scannedBytes = 0;  // uncompressed bytes that the scanned blocks span
    bool complete = false;      // the scan reached the final block
};
DeflateEvidence deflateEvidence(const std::vector<DeflateBlock>& blocks, bool reachedEnd);

// ---- Encoders -------------------------------------------------------------
// A body sink takes the encoder's output piece by piece; returning false
// stops the encoder early (a mismatch was seen).
using BodySink = std::function<bool(const unsigned char* bytes, size_t count)>;

// zlib's deflateInit2 settings (method Z_DEFLATED, raw deflate).
struct ZlibSettings {
    int level = 6;        // 1-9
    int memLevel = 8;     // 1-9
    int strategy = 0;     // Z_DEFAULT_STRATEGY 0, Z_FILTERED 1, Z_HUFFMAN_ONLY 2, Z_RLE 3, Z_FIXED 4
    int windowBits = 15;  // 9-15
};

// Compresses the tar with the zlib that pakrev links, feeding the whole file
// with Z_NO_FLUSH and then Z_FINISH, and hands the raw deflate data followed
// by the CRC32 and ISIZE trailer to the sink. True when the whole body was
// made and the sink took all of it; false when the tar cannot be read, the
// settings are out of range, or the sink stopped early.
bool zlibBody(const std::string& tarPath, const ZlibSettings& settings, const BodySink& sink);

// The command line that makes a gzip file from the tar on standard output
// with the program and its arguments ("<program> <arguments> < tar").
std::string encoderCommand(const std::string& program, const std::string& arguments,
                           const std::string& tarPath);

// Runs the command line (see encoderCommand), skips the gzip header of its
// output and hands the rest to the sink. True when the program ran to the
// end with status 0 and the sink took all of its output; false when it could
// not be started, failed, wrote no complete header, or the sink stopped it
// (the program then ends on a closed pipe).
bool programBody(const std::string& command, const BodySink& sink);

// GNU gzip --rsyncable at a level 1-9.
std::string rsyncableArguments(int level);

// pigz settings: level 1-9, block size in KiB (-b), --independent,
// --rsyncable.
struct PigzSettings {
    int level = 6;
    int blockKiB = 128;
    bool independent = false;
    bool rsyncable = false;
};
std::string pigzArguments(const PigzSettings& settings);

// ---- Parameter words (newParams of the gzip-encoder kinds) ---------------
// zlib (kind 16): bits 0-3 level, 4-7 memLevel, 8-11 strategy, 12-15 window
//   bits. GNU gzip --rsyncable (kind 17): bits 0-3 level. pigz (kind 18):
//   bits 0-3 level, bit 4 --independent, bit 5 --rsyncable, bits 8-23 block
//   size in KiB. Other bits are zero; a word with other bits set, or fields
//   out of range, does not decode (false).
uint32_t zlibParams(const ZlibSettings& settings);
bool decodeZlibParams(uint32_t params, ZlibSettings& settings);
uint32_t rsyncableParams(int level);
bool decodeRsyncableParams(uint32_t params, int& level);
uint32_t pigzParams(const PigzSettings& settings);
bool decodePigzParams(uint32_t params, PigzSettings& settings);

// ---- Candidates and search ------------------------------------------------

// Every distinct zlib setting, most likely first for a package with these
// header hints. Settings that make the same deflate data as an earlier one
// (the level under Huffman-only and RLE, Z_FILTERED at levels 1-3) are left
// out.
std::vector<ZlibSettings> zlibCandidates(const GzipHeaderHints& hints);
// The candidates that the evidence leaves.
std::vector<ZlibSettings> zlibCandidates(const GzipHeaderHints& hints,
                                         const DeflateEvidence& evidence);

// Levels in search order for these hints (level 9 first for XFL 2, 1 for XFL
// 4, else 6 first).
std::vector<int> levelOrder(const GzipHeaderHints& hints);

// pigz settings in search order.
std::vector<PigzSettings> pigzCandidates(const GzipHeaderHints& hints);
// The candidates that the evidence leaves: of the block sizes that hold the
// whole input, only the first (they all make the same data).
std::vector<PigzSettings> pigzCandidates(const GzipHeaderHints& hints,
                                         const DeflateEvidence& evidence);

enum GzipEncoderFamily { GZIP_ENCODER_NONE = 0, GZIP_ENCODER_ZLIB, GZIP_ENCODER_RSYNCABLE,
                         GZIP_ENCODER_PIGZ };

// What the search found: the family, its parameter word and the verbatim
// bytes around the body.
struct GzipEncoderMatch {
    GzipEncoderFamily family = GZIP_ENCODER_NONE;
    uint32_t params = 0;
    std::string header;  // the published header
    std::string after;   // bytes after the body (empty for a plain one-member file)
};

// Largest run of bytes after the body that is recorded verbatim.
constexpr uint64_t GZIP_AFTER_LIMIT = 1024;

enum GzipSearchResult {
    GZIP_SEARCH_FOUND = 0,
    GZIP_SEARCH_NOT_FOUND,    // no encoder makes this body
    GZIP_SEARCH_UNREADABLE,   // the package is not a readable gzip file
    GZIP_SEARCH_MEMBERS,      // several gzip members: not reproduced
    GZIP_SEARCH_TRAILING,     // more than GZIP_AFTER_LIMIT bytes after the body
};

// Tries the encoder families in order (zlib, GNU gzip --rsyncable when GNU
// gzip is known, pigz when pigz is found on PATH), each over its candidates,
// comparing each candidate's output with the package body as it comes and
// dropping it at the first byte that differs. The tar is the package's
// content. Fills `match` for the first candidate whose body is identical.
// One full compression is paid for the matching candidate; a wrong one
// costs the input of its first differing output.
GzipSearchResult findGzipEncoder(const std::string& tarPath, const std::string& packagePath,
                                 GzipEncoderMatch& match);

// Text for a search result other than FOUND, for the maker's error once the
// reconstruction (kind 23) has failed as well.
const char* gzipSearchMessage(GzipSearchResult result);

// ---- Rebuild --------------------------------------------------------------

enum GzipRebuildResult { GZIP_REBUILT = 0, GZIP_REBUILD_BAD_PARAMS, GZIP_REBUILD_NO_PROGRAM,
                         GZIP_REBUILD_FAILED };

// Writes header, the body that the family's encoder makes from the tar with
// the parameter word, and `after` into a new file at outputPath. For
// GZIP_REBUILD_NO_PROGRAM, `program` names the missing program ("GNU gzip",
// "pigz"). Nothing is checked against a digest here.
GzipRebuildResult rebuildGzip(GzipEncoderFamily family, uint32_t params,
                              const std::string& header, const std::string& after,
                              const std::string& tarPath, const std::string& outputPath,
                              std::string& program);

// ---- Reconstruction (kind 23) ---------------------------------------------
// A gzip package that no encoder reproduces is rebuilt by the deflate
// reconstruction (src/deflate): the tar, and a record of where the published
// streams depart from the model encoder. The record covers every member
// (header bytes, deflate stream, trailer) and the bytes after the last one.
// It travels in the parameter block under a critical tag and is streamed
// into and out of it: neither the package, the tar nor the record is held
// in memory.

constexpr uint16_t PARAM_GZIP_RECORD = 0x8103;  // the reconstruction record (critical)

// Makes the record of the gzip file at packagePath, whose members hold the
// bytes of the tar, into a new file at recordPath; then rebuilds the file
// from the record and compares it with the package as it comes. Ok only when
// the rebuild is byte-identical (a failed comparison is DataMismatch);
// otherwise the engine's result. `stats` may be null.
recon::Result makeGzipRecord(const std::string& packagePath, const std::string& tarPath,
                             const std::string& recordPath, recon::MakeStats* stats);

enum GzipRecordRebuild {
    GZIP_RECORD_REBUILT = 0,
    GZIP_RECORD_UNKNOWN,  // an unknown critical tag, no record, or a later record version: a newer maker's entry
    GZIP_RECORD_DAMAGED,  // the block or the record does not read, or does not fit the tar
    GZIP_RECORD_IO,       // the tar or the output could not be read or written
};

// Rebuilds the gzip file into a new file at outputPath from the parameter
// block file of a kind-23 entry and the tar. The block and the record in it
// are hostile input: every outcome other than GZIP_RECORD_REBUILT may leave
// a partial file at outputPath for the caller to discard. Nothing is checked
// against a digest here.
GzipRecordRebuild rebuildFromRecordBlock(const std::string& paramBlockPath,
                                         const std::string& tarPath,
                                         const std::string& outputPath);

// ---- Programs -------------------------------------------------------------

// Finds pigz directly on $PATH (its "pigz 2.x" version line); keeps an
// earlier find when nothing is found now. With -v prints what it found.
void discoverPigz();
// The pigz path, empty when none is known.
const std::string& pigzPath();
// Stops at the first pigz listed; true also when none is listed. False when
// the listing cannot be opened.
bool readPigzListing(const std::string& listingPath);
