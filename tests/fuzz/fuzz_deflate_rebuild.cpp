// Fuzzes the deflate reconstruction's rebuild: the record is hostile input.
// Whatever it holds, the rebuild must end (Ok or an error) without a crash,
// and its output stays bounded by the data's size.
//
// Input: one control byte (bit 0: gzip record, bits 1-3: which data), then
// the record. Records that start with a valid header reach the coded body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "deflate/deflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool gzip = data[0] & 1;
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
        record = std::string("PKDF\x01", 5) + char(gzip ? 1 : 0);
        const uint8_t params[18] = {1, 15, 128, 0, 8, 0, 16, 0, 128, 0, 0xFA, 0x7E, 0, 0x10, 0xFF, 0x3F, 0, 0};
        record.append(reinterpret_cast<const char*>(params), sizeof params);
    }
    record.append(reinterpret_cast<const char*>(data + 1), size - 1);
    recon::MemorySource rs(record), ds(plain);
    std::string out;
    recon::StringSink os(out);
    recon::Result r = gzip ? recon::rebuildGzip(rs, ds, os) : recon::rebuildRaw(rs, ds, os);
    (void)r;
    if (out.size() > 64 * plain.size() + (size_t(8) << 20)) abort();
    return 0;
}
