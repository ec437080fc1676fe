// Measures the deflate reconstruction on one gzip (or raw deflate) file:
//   recon-bench FILE.gz [--raw]
// Prints: compressed size, data size, record size and its share of the
// compressed file, make and rebuild time and MB/s of uncompressed data,
// and whether the rebuild is byte-exact.
//   recon-bench --files FILE.gz FILE.tar SCRATCH-DIR
// Runs the kind-23 path on files, as pakrev does: the record made from the
// package and its tar and proven by a rebuild (makeGzipRecord), put in a
// parameter block, and the package rebuilt from the block. Prints the CPU
// time and MB/s of each step and the peak resident memory of the process.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <zlib.h>

#include "deflate/deflate.h"
#include "gzip/gzip.h"
#include "patchfile/patchfile.h"

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

static long fileBytes(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

static bool sameFiles(const std::string& x, const std::string& y) {
    FILE* a = fopen(x.c_str(), "rb");
    FILE* b = fopen(y.c_str(), "rb");
    bool same = a && b;
    static char p[1 << 16], q[1 << 16];
    while (same) {
        size_t n = fread(p, 1, sizeof p, a), m = fread(q, 1, sizeof q, b);
        same = n == m && memcmp(p, q, n) == 0;
        if (n == 0) break;
    }
    if (a) fclose(a);
    if (b) fclose(b);
    return same;
}

static int filesMode(const std::string& gz, const std::string& tar, const std::string& dir) {
    std::string record = dir + "/record", block = dir + "/block", out = dir + "/rebuilt.gz";
    recon::MakeStats st;
    std::clock_t c0 = std::clock();
    recon::Result r = makeGzipRecord(gz, tar, record, &st);
    std::clock_t c1 = std::clock();
    if (r != recon::Result::Ok) {
        printf("%s\tmake failed: %s\n", gz.c_str(), recon::resultText(r));
        return 1;
    }
    if (!writeParamBlockWithFile(block, {}, PARAM_GZIP_RECORD, record)) return 1;
    std::clock_t c2 = std::clock();
    GzipRecordRebuild rb = rebuildFromRecordBlock(block, tar, out);
    std::clock_t c3 = std::clock();
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    bool same = rb == GZIP_RECORD_REBUILT && sameFiles(gz, out);
    double mb = fileBytes(tar) / 1e6;
    double mk = double(c1 - c0) / CLOCKS_PER_SEC, re = double(c3 - c2) / CLOCKS_PER_SEC;
    printf("%s\tcompressed %ld\tdata %.1f MB\trecord %ld\t%.3f%%\tmake+check %.2fs cpu %.1f MB/s\t"
           "rebuild %.2fs cpu %.1f MB/s\tpeak RSS %ld KiB\t%s\n",
           gz.c_str(), fileBytes(gz), mb, fileBytes(record), 100.0 * fileBytes(record) / fileBytes(gz),
           mk, mb / mk, re, mb / re, u.ru_maxrss, same ? "EXACT" : "MISMATCH");
    return same ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "--files") == 0) return filesMode(argv[2], argv[3], argv[4]);
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
