// Measures the deflate reconstruction on one gzip (or raw deflate) file:
//   recon-bench FILE.gz [--raw]
// Prints: compressed size, data size, record size and its share of the
// compressed file, make and rebuild time and MB/s of uncompressed data,
// and whether the rebuild is byte-exact.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>

#include <zlib.h>

#include "deflate/deflate.h"

static bool readAll(const char* path, std::string& out) {
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    char buf[1 << 16];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return true;
}

static bool inflateAll(const std::string& in, int wbits, std::string& out) {
    z_stream z{};
    if (inflateInit2(&z, wbits) != Z_OK) return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    std::string buf(1 << 16, '\0');
    int r;
    for (;;) {
        z.next_out = reinterpret_cast<Bytef*>(&buf[0]);
        z.avail_out = static_cast<uInt>(buf.size());
        r = inflate(&z, Z_NO_FLUSH);
        out.append(buf.data(), buf.size() - z.avail_out);
        if (r == Z_STREAM_END && wbits > 15 && z.avail_in > 2 &&
            static_cast<uint8_t>(z.next_in[0]) == 0x1f && static_cast<uint8_t>(z.next_in[1]) == 0x8b) {
            inflateReset(&z);
            continue;
        }
        if (r != Z_OK) break;
    }
    inflateEnd(&z);
    return r == Z_STREAM_END;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: recon-bench FILE [--raw]\n");
        return 2;
    }
    bool raw = argc > 2 && strcmp(argv[2], "--raw") == 0;
    std::string file, data;
    if (!readAll(argv[1], file) || !inflateAll(file, raw ? -15 : 31, data)) {
        fprintf(stderr, "cannot read or inflate %s\n", argv[1]);
        return 1;
    }
    using clk = std::chrono::steady_clock;
    std::string record, rebuilt;
    recon::MakeStats st;
    auto t0 = clk::now();
    std::clock_t c0 = std::clock();
    recon::MemorySource fs(file), ds(data);
    recon::StringSink rs(record);
    recon::Result r = raw ? recon::makeRaw(fs, ds, rs, &st) : recon::makeGzip(fs, ds, rs, &st);
    auto t1 = clk::now();
    std::clock_t c1 = std::clock();
    if (r != recon::Result::Ok) {
        printf("%s\tmake failed: %s\n", argv[1], recon::resultText(r));
        return 1;
    }
    recon::MemorySource rr(record), ds2(data);
    recon::StringSink os(rebuilt);
    r = raw ? recon::rebuildRaw(rr, ds2, os) : recon::rebuildGzip(rr, ds2, os);
    auto t2 = clk::now();
    std::clock_t c2 = std::clock();
    // CPU time of this process (one core): the machine may be shared.
    double mk = double(c1 - c0) / CLOCKS_PER_SEC, rb = double(c2 - c1) / CLOCKS_PER_SEC;
    (void)t0; (void)t1; (void)t2;
    double mb = data.size() / 1e6;
    printf("%s\tcompressed %zu\tdata %zu\trecord %zu\t%.3f%%\tmake %.2fs cpu %.1f MB/s\trebuild %.2fs cpu %.1f MB/s\t"
           "tokens %llu misses %llu (%.2f%%) blocks %llu header-misses %llu\t%s\t%s\n",
           argv[1], file.size(), data.size(), record.size(), 100.0 * record.size() / file.size(), mk,
           mb / mk, rb, mb / rb, (unsigned long long)st.tokens, (unsigned long long)st.tokenMisses,
           st.tokens ? 100.0 * st.tokenMisses / st.tokens : 0.0, (unsigned long long)st.blocks,
           (unsigned long long)st.headerMisses, st.model.c_str(),
           r == recon::Result::Ok && rebuilt == file ? "EXACT" : "MISMATCH");
    return r == recon::Result::Ok && rebuilt == file ? 0 : 1;
}
