// Streaming zstd decompression and compression through libzstd.
#include <zstd.h>
#include <zstd_errors.h>

#include <cstdio>
#include <vector>

#include "zstd/zstd.h"

bool zstdDecompress(const std::string& package, const std::string& tar) {
    FILE* input = fopen(package.c_str(), "rb");
    if (!input) return false;
    FileSink out(tar);
    ZSTD_DCtx* context = ZSTD_createDCtx();
    bool ok = out.isOpen() && context &&
              !ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, 31));
    std::vector<unsigned char> in(ZSTD_DStreamInSize()), outBuffer(ZSTD_DStreamOutSize());
    size_t pending = 0;  // non-zero: the last frame is not complete
    bool sawInput = false;
    bool frames = false;     // a whole frame was decoded
    bool trailing = false;   // bytes after the last whole frame that are no frame
    while (ok && !trailing) {
        size_t got = fread(in.data(), 1, in.size(), input);
        if (ferror(input)) ok = false;
        if (got == 0) break;
        sawInput = true;
        ZSTD_inBuffer source = {in.data(), got, 0};
        while (ok && source.pos < source.size) {
            ZSTD_outBuffer target = {outBuffer.data(), outBuffer.size(), 0};
            bool atFrameStart = pending == 0;
            pending = ZSTD_decompressStream(context, &target, &source);
            // What follows the last whole frame and is not one ends the
            // tar, as it ends zstd's output.
            if (ZSTD_isError(pending) && atFrameStart && frames &&
                ZSTD_getErrorCode(pending) == ZSTD_error_prefix_unknown) {
                pending = 0;
                trailing = true;
                break;
            }
            if (ZSTD_isError(pending) || !out.put(outBuffer.data(), target.pos)) ok = false;
            if (ok && pending == 0) frames = true;
        }
    }
    // Output the decoder still holds once all input is in.
    while (ok && pending != 0) {
        ZSTD_inBuffer source = {in.data(), 0, 0};
        ZSTD_outBuffer target = {outBuffer.data(), outBuffer.size(), 0};
        pending = ZSTD_decompressStream(context, &target, &source);
        if (ZSTD_isError(pending) || !out.put(outBuffer.data(), target.pos)) ok = false;
        if (target.pos == 0) break;
    }
    ZSTD_freeDCtx(context);
    fclose(input);
    return out.finish() && ok && sawInput && pending == 0;
}

namespace {

bool configure(ZSTD_CCtx* context, const ZstdSettings& settings, uint64_t inputSize) {
    auto set = [context](ZSTD_cParameter parameter, int value) {
        return !ZSTD_isError(ZSTD_CCtx_setParameter(context, parameter, value));
    };
    bool ok = set(ZSTD_c_compressionLevel, settings.level) &&
              set(ZSTD_c_checksumFlag, settings.checksum ? 1 : 0) &&
              set(ZSTD_c_contentSizeFlag, settings.contentSize ? 1 : 0);
    if (ok && settings.longMode) ok = set(ZSTD_c_enableLongDistanceMatching, 1);
    if (ok && settings.windowLog) ok = set(ZSTD_c_windowLog, static_cast<int>(settings.windowLog));
    // Output does not depend on the worker count once there is one: two for
    // two cores.
    if (ok && settings.multithreaded) ok = set(ZSTD_c_nbWorkers, 2);
    if (ok && settings.jobSize) ok = set(ZSTD_c_jobSize, static_cast<int>(settings.jobSize));
    if (ok && settings.contentSize)
        ok = !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(context, inputSize));
    return ok;
}

}  // namespace

bool zstdCompress(const std::string& input, const ZstdSettings& settings, ByteSink& out,
                  uint64_t limit) {
    FILE* file = fopen(input.c_str(), "rb");
    if (!file) return false;
    ZSTD_CCtx* context = ZSTD_createCCtx();
    bool ok = context != nullptr && fseeko(file, 0, SEEK_END) == 0;
    off_t size = ok ? ftello(file) : -1;
    ok = ok && size >= 0 && fseeko(file, 0, SEEK_SET) == 0 &&
         configure(context, settings, static_cast<uint64_t>(size));
    std::vector<unsigned char> in(ZSTD_CStreamInSize()), outBuffer(ZSTD_CStreamOutSize());
    uint64_t taken = 0;
    bool done = false;
    while (ok && !done) {
        size_t want = in.size();
        if (limit && limit - taken < want) want = static_cast<size_t>(limit - taken);
        size_t got = fread(in.data(), 1, want, file);
        if (ferror(file)) ok = false;
        taken += got;
        bool last = got < want || (limit && taken == limit) || got == 0;
        ZSTD_EndDirective mode = !last ? ZSTD_e_continue : limit ? ZSTD_e_flush : ZSTD_e_end;
        ZSTD_inBuffer source = {in.data(), got, 0};
        for (;;) {
            ZSTD_outBuffer target = {outBuffer.data(), outBuffer.size(), 0};
            size_t remaining = ZSTD_compressStream2(context, &target, &source, mode);
            if (ZSTD_isError(remaining) || !out.put(outBuffer.data(), target.pos)) {
                ok = false;
                break;
            }
            if (mode == ZSTD_e_continue ? source.pos == source.size : remaining == 0) break;
        }
        done = last;
    }
    ZSTD_freeCCtx(context);
    fclose(file);
    return ok && !limit && out.finish();
}

std::string zstdLibraryVersion() {
    return std::string("libzstd ") + ZSTD_versionString();
}
