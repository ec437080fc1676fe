// xz packages through liblzma: unpacking to a tar, reading what the stream
// records about how it was made, finding the encoder settings that make it
// again byte for byte, and compressing with recorded settings.
//
// Nothing here holds a whole tar or package in memory: every pass streams
// through fixed buffers (the index of a package is read whole; it is a few
// bytes per block).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sink/sink.h"

// What the stream header, the block headers and the index of an .xz file
// record. Filled by readXzStreamInfo.
struct XzStreamInfo {
    bool singleStream = false;     // one stream filling the file: no padding, no second stream
    uint32_t check = 0;            // lzma_check id of the stream flags (0 none, 1 CRC32, 4 CRC64, 10 SHA-256)
    bool lzma2Only = false;        // every block's filter chain is LZMA2 alone
    uint32_t dictSize = 0;         // LZMA2 dictionary size of the first block
    bool sizesInHeaders = false;   // the first block header records both sizes (multi-threaded xz)
    uint64_t blockCount = 0;
    uint64_t firstBlockUncompressed = 0;  // uncompressed size of the first block
    bool uniformBlocks = false;    // every block but the last has the first block's uncompressed size
    uint64_t uncompressedSize = 0;
    uint64_t firstBlockDataOffset = 0;    // file offset of the first block's LZMA2 data
};

// Reads the stream header and footer, the index and every block header of
// the file. True when the file is one well-formed xz stream as far as these
// structures go (the compressed data itself is not decoded). On false,
// `info` holds what could be read: a file that is xz but not a single stream
// (several streams, padding, trailing bytes) has singleStream false.
bool readXzStreamInfo(const std::string& path, XzStreamInfo& info);

// Encoder settings of an xz package.
struct XzSettings {
    uint32_t preset = 6;           // 0-9
    bool extreme = false;          // LZMA_PRESET_EXTREME
    uint32_t check = 4;            // lzma_check id
    bool multithreaded = false;    // lzma_stream_encoder_mt (sizes in block headers)
    // Uncompressed bytes per block. Multi-threaded: the encoder's block
    // size, 0 = its default. Single-threaded: a full flush (a new block)
    // after every blockSize bytes, as xz -T1 --block-size does; 0 = one block.
    uint64_t blockSize = 0;
    uint32_t dictSize = 0;         // LZMA2 dictionary; 0 = the preset's
};

// Unpacks every stream of the .xz file into a new tar file, with the stream
// padding between and after them. Bytes after the last whole stream that do
// not begin another one are left out (the file then has no settings that
// make it again, and travels as its compressed bytes). False (the tar then
// holds a partial or no result) when the file cannot be read, does not
// begin with a stream, or a stream is damaged or truncated.
bool xzDecompress(const std::string& package, const std::string& tar);

// Compresses the file at `input` with the settings into `out` and finishes
// the sink. True when the compression ran to the end and out.finish() was
// true; false as soon as the sink refuses bytes (a CompareSink that found a
// difference) or the encoder fails.
bool xzCompress(const std::string& input, const XzSettings& settings, ByteSink& out);

// Whether the candidate can have made the package, judged on a prefix: the
// raw LZMA2 output for the first block's data is compared with that data in
// the package. A first block of at most `limit` input bytes is compressed
// whole; a longer one only up to `limit` input bytes, without finishing, so
// that every byte compared is one the full compression writes too. The
// comparison stops at the first difference (false) or once enough bytes
// agreed (true). The first block's size comes from the index, so this holds
// for multi-threaded and for several blocks too.
bool xzProbe(const std::string& tar, const std::string& package, const XzStreamInfo& info,
             const XzSettings& settings, uint64_t limit);

// The candidates the stream records allow, most likely first: presets whose
// dictionary is the recorded one, with and without extreme, then presets
// with a larger dictionary run with the recorded one (only those whose
// encoder differs from a candidate already listed); all with the recorded
// check, single- or multi-threaded as the block headers say, with the block
// size the index records when there are several blocks. Empty when the
// stream's structure is one no candidate can make (another filter chain,
// several streams, blocks of unequal size).
std::vector<XzSettings> xzCandidates(const XzStreamInfo& info);

// The search: probes the candidates in order; each one whose probe agrees
// is compressed in full against the package, until one matches byte for
// byte (at most three full compressions). True with `found` set when one
// did. `tried` (may be null) gets the count of full compressions.
bool xzFindSettings(const std::string& tar, const std::string& package, XzSettings& found,
                    int* tried = nullptr);

// The settings as newParams: bits 0-3 preset, bit 4 extreme, bits 8-11
// check, bit 12 multi-threaded. The block size and a non-preset dictionary
// go in the parameter block (tags PARAM_XZ_*).
uint32_t xzSettingsToParams(const XzSettings& settings);
XzSettings xzSettingsFromParams(uint32_t params);

// "liblzma 5.4.1": the library this program runs with.
std::string xzLibraryVersion();
