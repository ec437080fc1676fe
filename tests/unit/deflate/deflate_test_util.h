// Helpers for the deflate reconstruction tests: zlib streams with chosen
// settings and flushes, and round trips through the engine.
#pragma once

#include <string>

#include "deflate/deflate.h"

namespace dtest {

struct ZlibSettings {
    int level = 6;
    int windowBits = -15;   // -15 raw, 31 gzip
    int memLevel = 8;
    int strategy = 0;       // Z_DEFAULT_STRATEGY
    size_t chunk = 0;       // flush after every chunk bytes (0: one call)
    int flush = 0;          // the flush used after each chunk (Z_SYNC_FLUSH, ...)
};
std::string zlibCompress(const std::string& data, const ZlibSettings& s);
// zlib's inflate of a raw (windowBits -15) or gzip (31) stream; false when it fails.
bool zlibInflate(const std::string& stream, int windowBits, std::string& out);

struct RoundTrip {
    recon::Result make = recon::Result::IoError, rebuild = recon::Result::IoError;
    std::string record, rebuilt;
    recon::MakeStats stats;
    bool exact = false;  // rebuilt == stream
};
RoundTrip roundTrip(const std::string& stream, const std::string& data, bool gzip);

}  // namespace dtest
