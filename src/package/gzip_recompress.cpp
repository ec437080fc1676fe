// Headerless GNU gzip recompression: the compressed data and trailer that
// GNU gzip writes for a tar, without the gzip header in front of them.
#include "package/package.h"
#include "runtime/runtime.h"
#include "stream/stream.h"

namespace {

const uint32_t GZIP_FIXED_HEADER = 10;
const uint32_t GZIP_FLAG_OFFSET = 3;
const uint32_t EXTRA_SKIP_BLOCK = 10;

// Walks a gzip header and counts the bytes it spans.
struct HeaderWalk {
    IStream& in;
    uint32_t consumed = 0;
    bool complete = true;

    bool skip(uint32_t n) {
        unsigned char block[EXTRA_SKIP_BLOCK];
        while (complete && n > 0) {
            uint32_t chunk = n < EXTRA_SKIP_BLOCK ? n : EXTRA_SKIP_BLOCK;
            uint32_t got = in.read(block, chunk);
            consumed += got;
            n -= got;
            if (got < chunk) complete = false;
        }
        return complete;
    }

    // Through the next zero byte, one byte at a time.
    void skipZeroTerminated() {
        unsigned char c = 1;
        while (complete && c != 0) {
            if (in.read(&c, 1) != 1)
                complete = false;
            else
                ++consumed;
        }
    }
};

// Skips the header of the gzip file that `in` starts with. The optional parts
// are taken in the order of their flag bits. False when the file ends inside
// the header.
bool skipGzipHeader(IStream& in, uint32_t fileLength, uint32_t& headerLength) {
    HeaderWalk walk{in};
    unsigned char fixed[GZIP_FIXED_HEADER];
    uint32_t got = in.read(fixed, GZIP_FIXED_HEADER);
    walk.consumed = got;
    if (got < GZIP_FIXED_HEADER) return false;
    unsigned char flags = fixed[GZIP_FLAG_OFFSET];
    if (flags & 0x02) walk.skip(2);
    if ((flags & 0x04) && walk.complete) {
        uint16_t extraLength = readU16(in);
        walk.consumed += 2;
        if (walk.consumed > fileLength) walk.complete = false;
        walk.skip(extraLength);
    }
    if (flags & 0x08) walk.skipZeroTerminated();
    if (flags & 0x10) walk.skipZeroTerminated();
    if (flags & 0x20) walk.skip(2);
    headerLength = walk.consumed;
    return walk.complete && walk.consumed <= fileLength;
}

}  // namespace

bool recompressGzipHeaderless(const std::string& tarPath, const std::string& outputPath,
                              char levelDigit) {
    discoverGzip();
    if (gnuGzipPath().empty()) return false;

    std::string compressed = newTempName();
    compressToFile(gnuGzipPath(), levelDigit, tarPath, compressed);
    uint32_t length = fileSize(compressed);
    {
        IFStream in(compressed);
        OFStream out(outputPath);
        uint32_t headerLength = 0;
        // A file that ends inside its header (a failed compression) leaves
        // the output empty.
        if (skipGzipHeader(in, length, headerLength))
            copyBytes(in, out, length - headerLength);
    }
    removeTempFile(compressed);
    return true;
}
