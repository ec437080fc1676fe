// One block compressed by libbz2 as a stream of its own, and where its bits
// end inside that stream.
#include <bzlib.h>

#include <cstring>

#include "bzip2/bzip2.h"

namespace {

// The program's default work factor (its --exponential is not used by
// packagers); 0 asks the library for the same default.
constexpr int WORK_FACTOR = 0;

constexpr uint64_t END_MAGIC = 0x177245385090ull;
constexpr unsigned char BLOCK_MAGIC[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};

uint64_t readBits(const std::vector<unsigned char>& bytes, uint64_t start, int count) {
    uint64_t value = 0;
    for (int k = 0; k < count; ++k) {
        uint64_t bit = start + static_cast<uint64_t>(k);
        value = (value << 1) | ((bytes[bit >> 3] >> (7 - (bit & 7))) & 1u);
    }
    return value;
}

// The stream ends with the end magic, the combined CRC (the block's CRC for
// a stream of one block) and 0-7 zero bits. The magic is not periodic, so at
// most one padding length fits.
bool findBlockEnd(CompressedBlock& block) {
    uint64_t total = 8ull * block.bytes.size();
    for (int pad = 0; pad < 8; ++pad) {
        if (total < 32u + 80u + static_cast<uint64_t>(pad)) return false;
        uint64_t end = total - 80 - static_cast<uint64_t>(pad);
        if (readBits(block.bytes, end, 48) != END_MAGIC) continue;
        if (readBits(block.bytes, end + 48, 32) != block.crc) continue;
        if (pad > 0 && readBits(block.bytes, end + 80, pad) != 0) continue;
        block.bitEnd = end;
        return true;
    }
    return false;
}

}  // namespace

bool compressBlock(const unsigned char* data, size_t n, int blockSize, CompressedBlock& out) {
    out.bytes.clear();
    out.bitEnd = 0;
    out.crc = 0;
    if (n == 0 || blockSize < 1 || blockSize > 9) return false;
    bz_stream strm;
    memset(&strm, 0, sizeof strm);
    if (BZ2_bzCompressInit(&strm, blockSize, 0, WORK_FACTOR) != BZ_OK) return false;
    // A block's first stage holds at most 100000 * blockSize bytes; the
    // documented bound for the output is 1 % more than that plus 600 bytes.
    out.bytes.resize(100000u * static_cast<unsigned>(blockSize) * 101 / 100 + 600 + 64);
    size_t done = 0;
    size_t written = 0;
    int status = BZ_FINISH_OK;
    while (status != BZ_STREAM_END) {
        size_t inPiece = n - done > 0x40000000u ? 0x40000000u : n - done;
        strm.next_in = const_cast<char*>(reinterpret_cast<const char*>(data + done));
        strm.avail_in = static_cast<unsigned>(inPiece);
        if (written == out.bytes.size()) out.bytes.resize(out.bytes.size() * 2);
        strm.next_out = reinterpret_cast<char*>(out.bytes.data() + written);
        strm.avail_out = static_cast<unsigned>(out.bytes.size() - written);
        bool last = done + inPiece == n;
        status = BZ2_bzCompress(&strm, last ? BZ_FINISH : BZ_RUN);
        done += inPiece - strm.avail_in;
        written = out.bytes.size() - strm.avail_out;
        if (status != BZ_STREAM_END && status != BZ_FINISH_OK && status != BZ_RUN_OK) {
            BZ2_bzCompressEnd(&strm);
            return false;
        }
    }
    BZ2_bzCompressEnd(&strm);
    out.bytes.resize(written);
    // Header (4 bytes), then the block: magic (6 bytes), CRC (4 bytes).
    if (written < 14 + 10 || memcmp(out.bytes.data() + 4, BLOCK_MAGIC, 6) != 0) return false;
    out.crc = (static_cast<uint32_t>(out.bytes[10]) << 24) |
              (static_cast<uint32_t>(out.bytes[11]) << 16) |
              (static_cast<uint32_t>(out.bytes[12]) << 8) | out.bytes[13];
    return findBlockEnd(out);
}
