// Little-endian integers and length-prefixed strings, and exact-count copies.
#include <vector>

#include "stream/stream.h"

uint16_t readU16(IStream& in) {
    unsigned char low = 0, high = 0;
    if (in.read(&low, 1) != 1) low = 0;
    if (in.read(&high, 1) != 1) high = 0;
    return static_cast<uint16_t>(low + 256 * high);
}

uint32_t readU32(IStream& in) {
    uint32_t low = readU16(in);
    uint32_t high = readU16(in);
    return low | (high << 16);
}

std::string readString(IStream& in) {
    uint16_t n = readU16(in);
    std::vector<char> bytes(n);
    uint32_t got = n ? in.read(bytes.data(), n) : 0;
    std::string s(bytes.data(), got);
    size_t zero = s.find('\0');
    if (zero != std::string::npos) s.resize(zero);
    return s;
}

void writeU16(OStream& out, uint16_t value) {
    unsigned char low = value & 0xFF, high = (value >> 8) & 0xFF;
    out.write(&low, 1);
    out.write(&high, 1);
}

void writeU32(OStream& out, uint32_t value) {
    writeU16(out, static_cast<uint16_t>(value & 0xFFFF));
    writeU16(out, static_cast<uint16_t>(value >> 16));
}

void writeString(OStream& out, const std::string& s) {
    writeU16(out, static_cast<uint16_t>(s.size()));
    out.write(s.data(), static_cast<uint32_t>(s.size()));
}

bool copyBytes(IStream& in, OStream& out, uint32_t n) {
    unsigned char block[COPY_BLOCK];
    for (;;) {
        uint32_t chunk = n < COPY_BLOCK ? n : COPY_BLOCK;
        uint32_t got = in.read(block, chunk);
        if (got > chunk) return false;  // never trust a count beyond the request
        uint32_t put = out.write(block, got);
        if (put != got) return false;
        n -= got;
        if (n == 0) return true;
        if (got < COPY_BLOCK) return false;
    }
}
