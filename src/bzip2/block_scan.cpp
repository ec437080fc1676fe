// Block edges: the compressor's first stage (run-length coding) followed
// over the input, counting the bytes it puts into each block.
#include "bzip2/bzip2.h"

BlockScanner::BlockScanner(int blockSize)
    : limit(100000u * static_cast<uint32_t>(blockSize) - 19u) {}

namespace {

// First-stage bytes of a finished run: runs of 4 or more become 4 bytes and
// a count byte.
inline uint32_t runBytes(uint32_t length) { return length < 4 ? length : 5; }

}  // namespace

size_t BlockScanner::scan(const unsigned char* data, size_t n, bool& found, uint64_t& edge) {
    found = false;
    size_t i = 0;
    for (; i < n; ++i) {
        if (filled >= limit) {
            // Full before this byte: the run in progress opens the next block.
            edge = offset + i - runLength;
            filled = 0;
            found = true;
            break;
        }
        int byte = data[i];
        if (byte != runByte || runLength == 255) {
            if (runByte < 256) filled += runBytes(runLength);
            runByte = byte;
            runLength = 1;
        } else {
            ++runLength;
        }
    }
    offset += i;
    return i;
}

bool BlockScanner::finish(uint64_t& edge) const {
    if (filled < limit) return false;
    edge = offset - runLength;
    return true;
}

std::vector<uint64_t> blockEdges(const unsigned char* data, size_t n, int blockSize) {
    std::vector<uint64_t> edges;
    BlockScanner scanner(blockSize);
    size_t done = 0;
    for (;;) {
        bool found = false;
        uint64_t edge = 0;
        done += scanner.scan(data + done, n - done, found, edge);
        if (!found) break;
        edges.push_back(edge);
    }
    uint64_t edge = 0;
    if (scanner.finish(edge)) edges.push_back(edge);
    return edges;
}
