// Fuzzes the deflate reconstruction's rebuild: the record is hostile input.
// Whatever it holds, the rebuild must end (Ok or an error) without a crash,
// and its output stays bounded by the data's size.
//
// Input: one control byte, then the bytes. Bit 0: gzip record; bits 1-2:
// which data; bit 4: put a valid record header in front, so the coded body
// is reached more often; bit 5: the bytes are a kind-23 parameter block as a
// patch carries it, rebuilt through the files the applier uses; bit 6 (with
// bit 4): a version-2 header with every setting of that version on (bit 7:
// the CRC-32C hash instead of the multiplicative one).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "deflate/deflate.h"
#include "gzip/gzip.h"

namespace {

void writeAll(const std::string& path, const std::string& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) abort();
    fclose(f);
}

long fileLength(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return 0;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

// A private directory for the block, the tar and the output.
const std::string& scratch() {
    static const std::string dir = [] {
        const char* tmp = getenv("TMPDIR");
        std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz_deflate_rebuild.XXXXXX";
        if (!mkdtemp(&name[0])) abort();
        return name;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool gzip = data[0] & 1;
    bool block = data[0] & 0x20;
    static const std::string samples[] = {
        std::string(),
        std::string("x"),
        std::string(5000, 'a'),
        [] {
            std::string s;
            uint32_t x = 7;
            for (int i = 0; i < 40000; ++i) {
                x = x * 1103515245u + 12345u;
                s.push_back(static_cast<char>("abcd efgh\n"[(x >> 16) % 10]));
            }
            return s;
        }(),
    };
    const std::string& plain = samples[(data[0] >> 1) & 3];
    // A valid record header when asked (bit 4), so the body is reached more often.
    std::string record;
    if (data[0] & 0x10) {
        bool v2 = data[0] & 0x40;
        record = std::string("PKDF", 4) + char(v2 ? 2 : 1) + char(gzip || block ? 1 : 0);
        const uint8_t params[18] = {1, 15, 128, 0, 8, 0, 16, 0, 128, 0, 0xFA, 0x7E, 0, 0x10, 0xFF, 0x3F, 0, 0};
        record.append(reinterpret_cast<const char*>(params), sizeof params);
        if (v2) record += std::string{4, char(data[0] & 0x80 ? 2 : 1), 3, 0};
    }
    record.append(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t limit = 64 * plain.size() + (size_t(8) << 20);
    if (block) {
        // With a record header asked for, the block is one record field
        // around the bytes; otherwise the bytes are the whole block.
        std::string blockBytes = record;
        if (data[0] & 0x10) {
            uint32_t n = static_cast<uint32_t>(record.size());
            blockBytes = std::string("\x03\x81", 2) + char(n & 255) + char(n >> 8 & 255) +
                         char(n >> 16 & 255) + char(n >> 24) + record;
        }
        std::string blockPath = scratch() + "/block", tarPath = scratch() + "/tar",
                    outPath = scratch() + "/out";
        writeAll(blockPath, blockBytes);
        writeAll(tarPath, plain);
        (void)rebuildFromRecordBlock(blockPath, tarPath, outPath);
        if (static_cast<size_t>(fileLength(outPath)) > limit) abort();
        return 0;
    }
    recon::MemorySource rs(record), ds(plain);
    std::string out;
    recon::StringSink os(out);
    recon::Result r = gzip ? recon::rebuildGzip(rs, ds, os) : recon::rebuildRaw(rs, ds, os);
    (void)r;
    if (out.size() > limit) abort();
    return 0;
}
