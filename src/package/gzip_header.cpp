// The one walk over a gzip header (RFC 1952): the fixed ten bytes, then the
// optional fields that the flag byte announces.
#include "package/package.h"

namespace {

const uint32_t GZIP_FIXED_HEADER = 10;
const uint32_t GZIP_FLAG_OFFSET = 3;

const unsigned char FLAG_HCRC = 0x02;  // before RFC 1952: a continuation part number
const unsigned char FLAG_EXTRA = 0x04;
const unsigned char FLAG_NAME = 0x08;
const unsigned char FLAG_COMMENT = 0x10;
const unsigned char FLAG_ENCRYPTED = 0x20;  // reserved in RFC 1952

// Counts the bytes of a header as they are read; `complete` falls when the
// stream ends inside it.
struct HeaderWalk {
    IStream& in;
    int64_t consumed = 0;
    bool complete = true;

    void skip(uint32_t n) {
        unsigned char block[64];
        while (complete && n > 0) {
            uint32_t chunk = n < sizeof block ? n : static_cast<uint32_t>(sizeof block);
            uint32_t got = in.read(block, chunk);
            consumed += got;
            n -= got;
            if (got < chunk) complete = false;
        }
    }

    void skipExtra() {
        if (!complete) return;
        unsigned char length[2];
        uint32_t got = in.read(length, 2);
        consumed += got;
        if (got < 2) {
            complete = false;
            return;
        }
        skip(length[0] | (length[1] << 8));
    }

    // Through the next zero byte.
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

}  // namespace

int64_t gzipHeaderLength(IStream& in, GzipFieldOrder order) {
    HeaderWalk walk{in};
    unsigned char fixed[GZIP_FIXED_HEADER];
    walk.consumed = in.read(fixed, GZIP_FIXED_HEADER);
    if (walk.consumed < GZIP_FIXED_HEADER) return -1;
    unsigned char flags = fixed[GZIP_FLAG_OFFSET];
    if (order == GZIP_FIELDS_IN_FLAG_ORDER) {
        if (flags & FLAG_HCRC) walk.skip(2);
        if (flags & FLAG_EXTRA) walk.skipExtra();
        if (flags & FLAG_NAME) walk.skipZeroTerminated();
        if (flags & FLAG_COMMENT) walk.skipZeroTerminated();
        if (flags & FLAG_ENCRYPTED) walk.skip(2);
    } else {
        if (flags & FLAG_EXTRA) walk.skipExtra();
        if (flags & FLAG_NAME) walk.skipZeroTerminated();
        if (flags & FLAG_COMMENT) walk.skipZeroTerminated();
        if (flags & FLAG_HCRC) walk.skip(2);
    }
    return walk.complete ? walk.consumed : -1;
}

int64_t gzipHeaderLength(const std::string& path) {
    IFStream in(path);
    if (!in.isOpen()) return -1;
    unsigned char magic[2];
    if (in.read(magic, 2) != 2 || magic[0] != 0x1f || magic[1] != 0x8b) return -1;
    IFStream again(path);
    return gzipHeaderLength(again, GZIP_FIELDS_RFC1952);
}
