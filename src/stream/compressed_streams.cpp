// Decompressing input streams over zlib and libbz2, and the gzip output
// stream. A decompression error reads as the end of the data.
#include <bzlib.h>
#include <zlib.h>

#include "stream/stream.h"

GZ_IFStream::GZ_IFStream(const std::string& path) : handle(gzopen(path.c_str(), "rb")) {}

GZ_IFStream::~GZ_IFStream() {
    if (handle) gzclose(static_cast<gzFile>(handle));
}

uint32_t GZ_IFStream::read(void* buffer, uint32_t n) {
    if (!handle) return 0;
    // gzread takes an unsigned count but returns an int: read in pieces that
    // fit, and stop at the first short read or error.
    uint32_t total = 0;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    while (total < n) {
        unsigned piece = n - total > 0x40000000u ? 0x40000000u : n - total;
        int got = gzread(static_cast<gzFile>(handle), out + total, piece);
        if (got <= 0) break;
        total += static_cast<uint32_t>(got);
        if (static_cast<unsigned>(got) < piece) break;
    }
    return total;
}

GZ_OFStream::GZ_OFStream(const std::string& path) : handle(gzopen(path.c_str(), "wb")) {}

GZ_OFStream::~GZ_OFStream() {
    if (handle) gzclose(static_cast<gzFile>(handle));
}

uint32_t GZ_OFStream::write(const void* buffer, uint32_t n) {
    if (!handle || n == 0) return 0;
    int put = gzwrite(static_cast<gzFile>(handle), buffer, n);
    return put > 0 ? static_cast<uint32_t>(put) : 0;
}

BZ_IFStream::BZ_IFStream(const std::string& path) : handle(BZ2_bzopen(path.c_str(), "rb")) {}

BZ_IFStream::~BZ_IFStream() {
    if (handle) BZ2_bzclose(static_cast<BZFILE*>(handle));
}

uint32_t BZ_IFStream::read(void* buffer, uint32_t n) {
    if (!handle) return 0;
    uint32_t total = 0;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    while (total < n) {
        int piece = n - total > 0x40000000u ? 0x40000000 : static_cast<int>(n - total);
        int got = BZ2_bzread(static_cast<BZFILE*>(handle), out + total, piece);
        if (got <= 0) break;
        total += static_cast<uint32_t>(got);
        if (got < piece) break;
    }
    return total;
}
