#include "deflate_test_util.h"

#include <zlib.h>

namespace dtest {

std::string zlibCompress(const std::string& data, const ZlibSettings& s) {
    z_stream z{};
    deflateInit2(&z, s.level, Z_DEFLATED, s.windowBits, s.memLevel, s.strategy);
    std::string out;
    size_t pos = 0;
    std::string buf(1 << 16, '\0');
    for (;;) {
        size_t n = s.chunk ? std::min(s.chunk, data.size() - pos) : data.size() - pos;
        bool last = pos + n == data.size();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + pos));
        z.avail_in = static_cast<uInt>(n);
        int flush = last ? Z_FINISH : s.flush;
        int r;
        do {
            z.next_out = reinterpret_cast<Bytef*>(&buf[0]);
            z.avail_out = static_cast<uInt>(buf.size());
            r = deflate(&z, flush);
            out.append(buf.data(), buf.size() - z.avail_out);
        } while (z.avail_out == 0 || (last && r != Z_STREAM_END));
        pos += n;
        if (last) break;
    }
    deflateEnd(&z);
    return out;
}

bool zlibInflate(const std::string& stream, int windowBits, std::string& out) {
    z_stream z{};
    if (inflateInit2(&z, windowBits) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    std::string buf(1 << 16, '\0');
    int r;
    out.clear();
    do {
        z.next_out = reinterpret_cast<Bytef*>(&buf[0]);
        z.avail_out = static_cast<uInt>(buf.size());
        r = inflate(&z, Z_NO_FLUSH);
        out.append(buf.data(), buf.size() - z.avail_out);
    } while (r == Z_OK);
    inflateEnd(&z);
    return r == Z_STREAM_END;
}

RoundTrip roundTrip(const std::string& stream, const std::string& data, bool gzip) {
    RoundTrip t;
    recon::MemorySource s(stream), d(data);
    recon::StringSink rec(t.record);
    t.make = gzip ? recon::makeGzip(s, d, rec, &t.stats) : recon::makeRaw(s, d, rec, &t.stats);
    if (t.make != recon::Result::Ok) return t;
    recon::MemorySource r(t.record), d2(data);
    recon::StringSink out(t.rebuilt);
    t.rebuild = gzip ? recon::rebuildGzip(r, d2, out) : recon::rebuildRaw(r, d2, out);
    t.exact = t.rebuild == recon::Result::Ok && t.rebuilt == stream;
    return t;
}

}  // namespace dtest
