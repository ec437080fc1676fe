// In-memory streams for tests and fuzz targets (no gtest dependency).
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "stream/stream.h"

namespace testsupport {

// Delivers a fixed byte string. With `piece` set, no read returns more than
// that many bytes, like a decompressor that hands out data in small runs.
class MemoryIStream : public IStream {
public:
    explicit MemoryIStream(std::string bytes, uint32_t piece = 0)
        : data(std::move(bytes)), piece(piece) {}

    uint32_t read(void* buffer, uint32_t n) override {
        requests.push_back(n);
        size_t left = data.size() - position;
        size_t count = std::min<size_t>(n, left);
        if (piece) count = std::min<size_t>(count, piece);
        if (count) memcpy(buffer, data.data() + position, count);
        position += count;
        return static_cast<uint32_t>(count);
    }

    // The bytes not read yet.
    std::string rest() const { return data.substr(position); }

    std::vector<uint32_t> requests;  // the count of every read call

private:
    std::string data;
    uint32_t piece;
    size_t position = 0;
};

// Collects everything written. With `capacity` set, accepts no more than
// that many bytes in total, like a full disk.
class MemoryOStream : public OStream {
public:
    explicit MemoryOStream(size_t capacity = static_cast<size_t>(-1)) : capacity(capacity) {}

    uint32_t write(const void* buffer, uint32_t n) override {
        size_t count = std::min<size_t>(n, capacity - data.size());
        data.append(static_cast<const char*>(buffer), count);
        return static_cast<uint32_t>(count);
    }

    std::string data;

private:
    size_t capacity;
};

// Builds little-endian byte strings by hand: Bytes().u16(4).str("name").s
struct Bytes {
    std::string s;
    Bytes& u8(uint8_t v) {
        s += static_cast<char>(v);
        return *this;
    }
    Bytes& u16(uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& raw(const std::string& bytes) {
        s += bytes;
        return *this;
    }
    Bytes& str(const std::string& text) {
        return u16(static_cast<uint16_t>(text.size())).raw(text);
    }
};

// Reads a stream to its end in reads of `step` bytes.
inline std::string drain(IStream& in, uint32_t step = 4096) {
    std::string all;
    std::vector<char> buffer(step);
    for (;;) {
        uint32_t got = in.read(buffer.data(), step);
        all.append(buffer.data(), got);
        if (got == 0) return all;
    }
}

}  // namespace testsupport
