// Test helper: gzip files made through zlib's own gzip wrapper.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "gzip/gzip.h"

// A gzip file of the data with the settings; the header carries the name
// (none when empty), mtime and OS byte, and zlib's XFL. With splitLevel
// 1-9 the second half of the input is compressed at that level instead
// (deflateParams in mid-stream: data no single setting makes).
inline std::string zlibGzip(const std::string& data, const ZlibSettings& s,
                            const std::string& name = "", uLong mtime = 0, int os = 3,
                            int splitLevel = 0) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, s.level, Z_DEFLATED, s.windowBits + 16, s.memLevel, s.strategy),
              Z_OK);
    gz_header header{};
    header.time = mtime;
    header.os = os;
    std::string nameCopy = name;
    if (!name.empty()) header.name = reinterpret_cast<Bytef*>(&nameCopy[0]);
    deflateSetHeader(&z, &header);
    std::string out(deflateBound(&z, data.size()) + 1024, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    if (splitLevel) {
        z.avail_in = static_cast<uInt>(data.size() / 2);
        deflate(&z, Z_NO_FLUSH);
        EXPECT_EQ(deflateParams(&z, splitLevel, s.strategy), Z_OK);
        z.avail_in += static_cast<uInt>(data.size() - data.size() / 2);
    } else {
        z.avail_in = static_cast<uInt>(data.size());
    }
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}
