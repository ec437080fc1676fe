// The zlib encoder: raw deflate through deflateInit2, followed by the gzip
// trailer, made in process with the zlib that pakrev links.
#include <cstdio>
#include <vector>

#include <zlib.h>

#include "gzip/gzip.h"

namespace {

bool inRange(const ZlibSettings& s) {
    return s.level >= 1 && s.level <= 9 && s.memLevel >= 1 && s.memLevel <= 9 &&
           s.strategy >= 0 && s.strategy <= 4 && s.windowBits >= 9 && s.windowBits <= 15;
}

}  // namespace

bool zlibBody(const std::string& tarPath, const ZlibSettings& settings, const BodySink& sink) {
    if (!inRange(settings)) return false;
    FILE* f = fopen(tarPath.c_str(), "rb");
    if (!f) return false;
    z_stream z{};
    if (deflateInit2(&z, settings.level, Z_DEFLATED, -settings.windowBits, settings.memLevel,
                     settings.strategy) != Z_OK) {
        fclose(f);
        return false;
    }
    std::vector<unsigned char> in(1 << 16), out(1 << 16);
    uLong crc = crc32(0L, Z_NULL, 0);
    uint64_t size = 0;
    bool accepted = true, finished = false, readFailed = false;
    while (accepted && !finished) {
        int flush = Z_NO_FLUSH;
        if (z.avail_in == 0) {
            size_t got = fread(in.data(), 1, in.size(), f);
            if (got == 0) {
                readFailed = ferror(f) != 0;
                flush = Z_FINISH;
            }
            crc = crc32(crc, in.data(), static_cast<uInt>(got));
            size += got;
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(got);
        }
        if (readFailed) break;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            int rc = deflate(&z, flush);
            if (rc == Z_STREAM_END) finished = true;
            size_t made = out.size() - z.avail_out;
            if (made > 0 && !sink(out.data(), made)) accepted = false;
        } while (accepted && !finished && z.avail_out == 0);
    }
    deflateEnd(&z);
    fclose(f);
    if (!accepted || readFailed) return false;
    unsigned char trailer[8];
    for (int i = 0; i < 4; ++i) {
        trailer[i] = static_cast<unsigned char>(crc >> (8 * i));
        trailer[4 + i] = static_cast<unsigned char>(size >> (8 * i));
    }
    return sink(trailer, sizeof trailer);
}
