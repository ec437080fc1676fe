// Reading the layout of a gzip file: its header bytes, where the body of the
// first member ends, and what follows it.
#include <cstdio>
#include <vector>

#include <zlib.h>

#include "gzip/gzip.h"

namespace {

const int FLAG_HCRC = 0x02, FLAG_EXTRA = 0x04, FLAG_NAME = 0x08, FLAG_COMMENT = 0x10;
const size_t FIXED_HEADER = 10, TRAILER = 8;

// Appends n bytes of the file to the header. False when it ends first.
bool take(FILE* f, size_t n, std::string& header) {
    while (n > 0) {
        int c = getc(f);
        if (c == EOF) return false;
        header += static_cast<char>(c);
        --n;
    }
    return true;
}

bool takeZeroTerminated(FILE* f, std::string& header) {
    for (;;) {
        int c = getc(f);
        if (c == EOF) return false;
        header += static_cast<char>(c);
        if (c == 0) return true;
    }
}

bool readHeader(FILE* f, std::string& header) {
    if (!take(f, FIXED_HEADER, header)) return false;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(header[i]); };
    if (byte(0) != 0x1f || byte(1) != 0x8b || byte(2) != 8) return false;
    int flags = byte(3);
    if (flags & 0xE0) return false;  // reserved bits
    if (flags & FLAG_EXTRA) {
        if (!take(f, 2, header)) return false;
        size_t length = byte(FIXED_HEADER) | (byte(FIXED_HEADER + 1) << 8);
        if (!take(f, length, header)) return false;
    }
    if ((flags & FLAG_NAME) && !takeZeroTerminated(f, header)) return false;
    if ((flags & FLAG_COMMENT) && !takeZeroTerminated(f, header)) return false;
    if ((flags & FLAG_HCRC) && !take(f, 2, header)) return false;
    return true;
}

// Inflates raw deflate data from the file's current position to the end of
// the stream; sets `consumed` to the compressed bytes it spans.
bool deflateLength(FILE* f, uint64_t& consumed) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    std::vector<unsigned char> in(1 << 16), out(1 << 16);
    bool ended = false, failed = false;
    while (!ended && !failed) {
        if (z.avail_in == 0) {
            z.avail_in = static_cast<uInt>(fread(in.data(), 1, in.size(), f));
            z.next_in = in.data();
            if (z.avail_in == 0) break;
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END)
            ended = true;
        else if (rc != Z_OK && rc != Z_BUF_ERROR)
            failed = true;
    }
    consumed = z.total_in;
    inflateEnd(&z);
    return ended;
}

}  // namespace

bool readGzipLayout(const std::string& path, GzipLayout& layout) {
    layout = GzipLayout{};
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    uint64_t deflateBytes = 0;
    bool ok = readHeader(f, layout.header) && deflateLength(f, deflateBytes);
    if (ok) {
        layout.bodyOffset = layout.header.size();
        layout.bodyLength = deflateBytes + TRAILER;
        layout.afterOffset = layout.bodyOffset + layout.bodyLength;
        ok = fseeko(f, 0, SEEK_END) == 0;
        off_t size = ok ? ftello(f) : -1;
        ok = size >= 0 && static_cast<uint64_t>(size) >= layout.afterOffset;
        if (ok) {
            layout.afterLength = static_cast<uint64_t>(size) - layout.afterOffset;
            unsigned char magic[2] = {0, 0};
            if (layout.afterLength >= 2 &&
                fseeko(f, static_cast<off_t>(layout.afterOffset), SEEK_SET) == 0 &&
                fread(magic, 1, 2, f) == 2)
                layout.severalMembers = magic[0] == 0x1f && magic[1] == 0x8b;
        }
    }
    fclose(f);
    return ok;
}

GzipHeaderHints headerHints(const std::string& header) {
    GzipHeaderHints hints;
    if (header.size() < FIXED_HEADER) return hints;
    auto byte = [&](size_t i) { return static_cast<unsigned char>(header[i]); };
    hints.hasName = (byte(3) & FLAG_NAME) != 0;
    hints.hasMtime = (byte(4) | byte(5) | byte(6) | byte(7)) != 0;
    hints.xfl = byte(8);
    hints.os = byte(9);
    return hints;
}
