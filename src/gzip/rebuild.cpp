// Rebuilding a gzip package made by one of the encoder families: the
// recorded header, the body the encoder makes from the tar, the recorded
// bytes after it.
#include <cstdio>

#include "gzip/gzip.h"
#include "runtime/runtime.h"

namespace {

struct FileSink {
    FILE* out;
    bool operator()(const unsigned char* bytes, size_t count) const {
        return fwrite(bytes, 1, count, out) == count;
    }
};

}  // namespace

GzipRebuildResult rebuildGzip(GzipEncoderFamily family, uint32_t params,
                              const std::string& header, const std::string& after,
                              const std::string& tarPath, const std::string& outputPath,
                              std::string& program) {
    ZlibSettings zlibSettings;
    PigzSettings pigzSettings;
    int level = 0;
    std::string command;
    switch (family) {
        case GZIP_ENCODER_ZLIB:
            if (!decodeZlibParams(params, zlibSettings)) return GZIP_REBUILD_BAD_PARAMS;
            break;
        case GZIP_ENCODER_RSYNCABLE:
            if (!decodeRsyncableParams(params, level)) return GZIP_REBUILD_BAD_PARAMS;
            discoverGzip();
            if (gnuGzipPath().empty()) {
                program = "GNU gzip";
                return GZIP_REBUILD_NO_PROGRAM;
            }
            command = encoderCommand(gnuGzipPath(), rsyncableArguments(level), tarPath);
            break;
        case GZIP_ENCODER_PIGZ:
            if (!decodePigzParams(params, pigzSettings)) return GZIP_REBUILD_BAD_PARAMS;
            discoverPigz();
            if (pigzPath().empty()) {
                program = "pigz";
                return GZIP_REBUILD_NO_PROGRAM;
            }
            command = encoderCommand(pigzPath(), pigzArguments(pigzSettings), tarPath);
            break;
        default:
            return GZIP_REBUILD_BAD_PARAMS;
    }
    FILE* out = fopen(outputPath.c_str(), "wb");
    if (!out) return GZIP_REBUILD_FAILED;
    FileSink sink{out};
    bool ok = fwrite(header.data(), 1, header.size(), out) == header.size();
    if (ok)
        ok = family == GZIP_ENCODER_ZLIB ? zlibBody(tarPath, zlibSettings, sink)
                                          : programBody(command, sink);
    ok = ok && fwrite(after.data(), 1, after.size(), out) == after.size();
    ok = fclose(out) == 0 && ok;
    return ok ? GZIP_REBUILT : GZIP_REBUILD_FAILED;
}
