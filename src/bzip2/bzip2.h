// Parallel bzip2 compression that reproduces the single-threaded bzip2
// program's output bit for bit.
//
// A bzip2 stream is "BZh" and the block-size digit, then the compressed
// blocks, each starting with the 48-bit magic 0x314159265359 and the block's
// CRC, then the 48-bit end magic 0x177245385090, the combined CRC and zero
// bits up to the next byte. Blocks are not byte-aligned. The compressor's
// first stage turns runs of 4 to 255 equal bytes into 4 bytes and a count
// and fills a block until it holds BlockScanner::capacity() of those bytes;
// the run in progress when the block is full opens the next block. So the
// block edges follow from the input alone, each block can be compressed as a
// stream of its own, and the blocks' bits joined make the program's stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "stream/stream.h"

// ---- The linked library ---------------------------------------------------

// The release of the linked libbz2, the part of BZ2_bzlibVersion() before
// the first comma ("1.0.8").
std::string libbz2Release();

// ---- Block edges ------------------------------------------------------------

// Follows the compressor's first stage over the input and reports where each
// block's input starts. Feed the whole input in order; every offset is
// counted from the first byte fed.
class BlockScanner {
public:
    explicit BlockScanner(int blockSize);  // 1-9

    // Bytes of first-stage output that fill a block: 100000 * blockSize - 19.
    uint32_t capacity() const { return limit; }

    // Scans data[0, n) until the next block edge or the end of the data.
    // Returns the count of bytes consumed. When a block edge was found,
    // edge is set to its input offset and true is stored in found; the bytes
    // from the edge on belong to the next block (edge may lie before the
    // offset of data[0] when a run carries over). Call again with the rest.
    size_t scan(const unsigned char* data, size_t n, bool& found, uint64_t& edge);

    // After the whole input: true when the last block is already full, so
    // that the run in progress makes one more block; edge is then its offset.
    bool finish(uint64_t& edge) const;

private:
    uint32_t limit;
    uint32_t filled = 0;     // first-stage bytes in the current block
    int runByte = 256;       // byte of the run in progress, 256 for none
    uint32_t runLength = 0;  // its length so far, 1-255
    uint64_t offset = 0;     // input bytes consumed so far
};

// Offsets of the starts of the second and later blocks of the whole input
// (empty for an input of one block or none).
std::vector<uint64_t> blockEdges(const unsigned char* data, size_t n, int blockSize);

// ---- One block --------------------------------------------------------------

// One block compressed as a stream of its own; bits [32, bitEnd) of bytes
// are the block (magic, CRC, data).
struct CompressedBlock {
    std::vector<unsigned char> bytes;
    uint64_t bitEnd = 0;
    uint32_t crc = 0;
};

// Compresses data[0, n) (n > 0, the input of exactly one block) with libbz2
// at the block size and the program's work factor. False when the library
// fails or its output does not have the shape of one block.
bool compressBlock(const unsigned char* data, size_t n, int blockSize, CompressedBlock& out);

// ---- Joining ----------------------------------------------------------------

// Writes a bzip2 stream bit by bit into an output stream: the header on
// construction, each block's bits as added, the trailer on finish().
class StreamJoiner {
public:
    StreamJoiner(OStream& out, int blockSize);
    // Appends the block's bits and folds its CRC into the combined CRC.
    // False once a write has failed.
    bool add(const CompressedBlock& block);
    // Writes the end magic, the combined CRC and the padding; flushes.
    // False when any write failed.
    bool finish();

private:
    void putBits(uint32_t value, int count);  // count <= 24
    void putByte(unsigned char byte);
    bool flush();

    OStream& out;
    std::vector<unsigned char> buffer;
    uint64_t pending = 0;  // bits not yet in buffer, at the low end
    int pendingCount = 0;
    uint32_t combinedCrc = 0;
    bool ok = true;
};

// ---- The whole compression --------------------------------------------------

// Compresses everything the input delivers into exactly the stream that
// "bzip2 -<blockSize>" of the linked library's release writes, on `threads`
// threads (at least 1; with 1 all work happens on the calling thread). At
// most 2 * threads blocks are held at once. False when the library failed or
// a write fell short; what was written is then incomplete.
bool parallelBzip2(IStream& in, OStream& out, int blockSize, unsigned threads);

// The same from a file into a new file (created or truncated). False also
// when a file cannot be opened or closed.
bool parallelBzip2File(const std::string& input, const std::string& output, int blockSize,
                       unsigned threads);
