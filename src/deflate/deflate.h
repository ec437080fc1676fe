// Deflate reconstruction: rebuilds a published deflate (or gzip) stream byte
// for byte from its uncompressed data and a small record of corrections.
//
// The maker decodes the published stream into its decisions (block types and
// boundaries, Huffman tables as transmitted, literals and matches, padding
// bits) and runs a deterministic model encoder of our own over the data. The
// record holds only where the stream departs from the model's predictions,
// entropy-coded. The rebuild runs the same model, applies the corrections and
// writes the exact original bits. Any valid deflate stream round-trips; the
// model only decides how large the record is.
//
// Both directions stream: memory is bounded by a sliding window over the data
// (about 256 KiB), the tokens of one deflate block (at most BLOCK_TOKEN_LIMIT)
// and the model's hash tables. The record is hostile input to the rebuild:
// every value read from it is checked, the work and output are bounded by the
// data and the record's length, and a bad record ends in an error result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace recon {

// A sequential source of bytes. read() returns the number of bytes placed in
// buf (at most n), 0 at the end, -1 on a read error. rewind() starts again at
// the first byte; false when the source cannot.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual long read(uint8_t* buf, size_t n) = 0;
    virtual bool rewind() { return false; }
};

// A sequential destination. write() returns false on an error.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write(const uint8_t* data, size_t n) = 0;
};

// Bytes in memory (not copied: the caller keeps them alive).
class MemorySource : public ByteSource {
public:
    MemorySource(const void* data, size_t size)
        : data_(static_cast<const uint8_t*>(data)), size_(size) {}
    explicit MemorySource(const std::string& s) : MemorySource(s.data(), s.size()) {}
    long read(uint8_t* buf, size_t n) override;
    bool rewind() override { pos_ = 0; return true; }
private:
    const uint8_t* data_;
    size_t size_, pos_ = 0;
};

// An open FILE (not closed here). rewind() seeks to where the file was when
// the source was made.
class FileSource : public ByteSource {
public:
    explicit FileSource(FILE* f);
    long read(uint8_t* buf, size_t n) override;
    bool rewind() override;
private:
    FILE* f_;
    long start_;
};

// Appends to a string.
class StringSink : public ByteSink {
public:
    explicit StringSink(std::string& out) : out_(out) {}
    bool write(const uint8_t* data, size_t n) override;
private:
    std::string& out_;
};

// Writes to an open FILE (not closed here).
class FileSink : public ByteSink {
public:
    explicit FileSink(FILE* f) : f_(f) {}
    bool write(const uint8_t* data, size_t n) override;
private:
    FILE* f_;
};

enum class Result {
    Ok,
    BadStream,       // the compressed input is not a deflate/gzip stream we can represent
    DataMismatch,    // the stream does not decompress to the given data
    BadCorrections,  // the correction record is malformed or does not fit the data
    TooLarge,        // a block holds more than BLOCK_TOKEN_LIMIT tokens, or a header is too long
    IoError,         // a source or sink failed
    NewerRecord,     // the record is of a later version than this build reads
};
const char* resultText(Result r);

// Tokens one deflate block may hold; longer blocks are refused by the maker
// (TooLarge) and by the rebuild (BadCorrections). 16 MiB of tokens.
constexpr size_t BLOCK_TOKEN_LIMIT = size_t(1) << 22;

// What the maker learnt, for benchmarks and verbose output.
struct MakeStats {
    uint64_t compressedBytes = 0;   // bytes of the published stream read
    uint64_t dataBytes = 0;         // uncompressed bytes covered
    uint64_t correctionBytes = 0;   // size of the record written
    uint64_t blocks = 0, tokens = 0, tokenMisses = 0, headerMisses = 0;
    std::string model;              // the model settings chosen, e.g. "lazy 6"
};

// ---- raw deflate (RFC 1951) -------------------------------------------------

// Reads one complete raw deflate stream from `compressed` (bytes after its
// last block are not read) and its uncompressed data from `data`, writes the
// correction record to `out`. Both sources must support rewind(): the maker
// tries each model setting on a prefix first. Ok, or BadStream (not valid
// deflate or not representable), DataMismatch, TooLarge, IoError.
Result makeRaw(ByteSource& compressed, ByteSource& data, ByteSink& out, MakeStats* stats);

// Rebuilds the raw deflate stream from a record and the uncompressed data
// (read exactly to its end), writing it to `out`. Ok, BadCorrections (record
// malformed, or it does not fit the data), NewerRecord (a record version
// above 2: nothing is written), IoError. On an error `out` may
// have received part of a stream: the caller discards it.
Result rebuildRaw(ByteSource& record, ByteSource& data, ByteSink& out);

// ---- gzip files (RFC 1952) --------------------------------------------------

// As makeRaw for a whole gzip file: every member (header bytes exactly as
// published, deflate stream, trailer) and any bytes after the last member
// (at most 1 MiB) are recorded. `data` is the concatenated content of all
// members. BadStream also for a file that is not gzip.
Result makeGzip(ByteSource& gz, ByteSource& data, ByteSink& out, MakeStats* stats);

// Rebuilds the gzip file byte for byte from its record and data.
Result rebuildGzip(ByteSource& record, ByteSource& data, ByteSink& out);

}  // namespace recon
