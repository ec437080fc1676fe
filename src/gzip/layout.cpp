// Reading the layout of a gzip file: its header bytes, where the body of the
// first member ends, and what follows it.
#include <cstdio>
#include <vector>

#include <zlib.h>

#include "gzip/gzip.h"
#include "package/package.h"

namespace {

const size_t FIXED_HEADER = 10, TRAILER = 8;
const int FLAG_NAME = 0x08;

// The header's bytes, walked by the one gzip header reader; the method must
// be deflate and the reserved flag bits clear. Leaves the file just after
// the header.
bool readHeader(FILE* f, const std::string& path, std::string& header) {
    int64_t length = gzipHeaderLength(path);
    if (length < static_cast<int64_t>(FIXED_HEADER)) return false;
    header.resize(static_cast<size_t>(length));
    if (fread(&header[0], 1, header.size(), f) != header.size()) return false;
    return header[2] == 8 && (static_cast<unsigned char>(header[3]) & 0xE0) == 0;
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
    bool ok = readHeader(f, path, layout.header) && deflateLength(f, deflateBytes);
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
