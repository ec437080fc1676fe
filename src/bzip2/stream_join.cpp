// Joining compressed blocks into one bzip2 stream, bit by bit.
#include "bzip2/bzip2.h"

namespace {

constexpr size_t OUTPUT_BUFFER = 1u << 20;

}  // namespace

StreamJoiner::StreamJoiner(OStream& out, int blockSize) : out(out) {
    buffer.reserve(OUTPUT_BUFFER + 16);
    putByte('B');
    putByte('Z');
    putByte('h');
    putByte(static_cast<unsigned char>('0' + blockSize));
}

void StreamJoiner::putByte(unsigned char byte) {
    if (pendingCount == 0) {
        buffer.push_back(byte);
    } else {
        pending = (pending << 8) | byte;
        buffer.push_back(static_cast<unsigned char>(pending >> pendingCount));
        pending &= (1ull << pendingCount) - 1;
    }
    if (buffer.size() >= OUTPUT_BUFFER) flush();
}

void StreamJoiner::putBits(uint32_t value, int count) {
    pending = (pending << count) | (value & ((1u << count) - 1));
    pendingCount += count;
    while (pendingCount >= 8) {
        pendingCount -= 8;
        buffer.push_back(static_cast<unsigned char>(pending >> pendingCount));
    }
    pending &= (1ull << pendingCount) - 1;
    if (buffer.size() >= OUTPUT_BUFFER) flush();
}

bool StreamJoiner::flush() {
    size_t done = 0;
    while (ok && done < buffer.size()) {
        size_t piece = buffer.size() - done;
        uint32_t put = out.write(buffer.data() + done, static_cast<uint32_t>(piece));
        if (put != piece) ok = false;
        done += piece;
    }
    buffer.clear();
    return ok;
}

bool StreamJoiner::add(const CompressedBlock& block) {
    // The block starts right after the 4-byte header: whole bytes first,
    // then the bits of its last, partial byte.
    uint64_t bits = block.bitEnd - 32;
    size_t wholeBytes = static_cast<size_t>(bits >> 3);
    const unsigned char* data = block.bytes.data() + 4;
    if (pendingCount == 0) {
        for (size_t i = 0; i < wholeBytes;) {
            size_t piece = wholeBytes - i;
            if (piece > OUTPUT_BUFFER) piece = OUTPUT_BUFFER;
            buffer.insert(buffer.end(), data + i, data + i + piece);
            i += piece;
            if (buffer.size() >= OUTPUT_BUFFER) flush();
        }
    } else {
        for (size_t i = 0; i < wholeBytes; ++i) putByte(data[i]);
    }
    int rest = static_cast<int>(bits & 7);
    if (rest) putBits(static_cast<uint32_t>(data[wholeBytes] >> (8 - rest)), rest);
    combinedCrc = ((combinedCrc << 1) | (combinedCrc >> 31)) ^ block.crc;
    return ok;
}

bool StreamJoiner::finish() {
    putBits(0x177245u, 24);
    putBits(0x385090u, 24);
    putBits(combinedCrc >> 16, 16);
    putBits(combinedCrc & 0xFFFFu, 16);
    if (pendingCount) putBits(0, 8 - pendingCount);
    return flush();
}
