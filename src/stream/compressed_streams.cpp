// Decompressing input streams over zlib and libbz2, and the gzip output
// stream. A decompression error reads as the end of the data and marks the
// stream failed.
#include <bzlib.h>
#include <zlib.h>

#include "stream/stream.h"

GZ_IFStream::GZ_IFStream(const std::string& path) : handle(gzopen(path.c_str(), "rb")) {}

GZ_IFStream::~GZ_IFStream() {
    if (handle) gzclose(static_cast<gzFile>(handle));
}

uint32_t GZ_IFStream::read(void* buffer, uint32_t n) {
    if (!handle || broken) return 0;
    // gzread takes an unsigned count but returns an int: read in pieces that
    // fit, and stop at the first short read or error.
    uint32_t total = 0;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    while (total < n) {
        unsigned piece = n - total > 0x40000000u ? 0x40000000u : n - total;
        int got = gzread(static_cast<gzFile>(handle), out + total, piece);
        if (got > 0) total += static_cast<uint32_t>(got);
        if (got <= 0 || static_cast<unsigned>(got) < piece) {
            // A short read is the end of the data or an error (a missing
            // trailer reads as "unexpected end of file", Z_BUF_ERROR).
            int code = Z_OK;
            gzerror(static_cast<gzFile>(handle), &code);
            if (got < 0 || (code != Z_OK && code != Z_STREAM_END)) broken = true;
            break;
        }
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
    if (!handle || broken) return 0;
    uint32_t total = 0;
    unsigned char* out = static_cast<unsigned char*>(buffer);
    while (total < n) {
        int piece = n - total > 0x40000000u ? 0x40000000 : static_cast<int>(n - total);
        // -1 for damaged data and for a stream that ends before its
        // end-of-stream mark (BZ_UNEXPECTED_EOF).
        int got = BZ2_bzread(static_cast<BZFILE*>(handle), out + total, piece);
        if (got < 0) broken = true;
        if (got <= 0) break;
        total += static_cast<uint32_t>(got);
        if (got < piece) break;
    }
    return total;
}
