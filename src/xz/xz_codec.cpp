// Streaming xz decompression and compression through liblzma.
#include <lzma.h>

#include <cstdio>
#include <vector>

#include "xz/xz.h"

namespace {

constexpr size_t BUFFER_SIZE = 1 << 16;

// Runs the coder over the input file until LZMA_STREAM_END, handing every
// output byte to the sink. `limit` caps the input bytes read (the coder is
// then finished as if the input ended there). False when the coder fails,
// the input cannot be read, or the sink refuses.
bool runCoder(lzma_stream& stream, FILE* input, uint64_t limit, ByteSink& out) {
    std::vector<uint8_t> in(BUFFER_SIZE), outBuffer(BUFFER_SIZE);
    lzma_action action = LZMA_RUN;
    uint64_t remaining = limit;
    stream.next_out = outBuffer.data();
    stream.avail_out = outBuffer.size();
    for (;;) {
        if (stream.avail_in == 0 && action == LZMA_RUN) {
            size_t want = remaining < in.size() ? static_cast<size_t>(remaining) : in.size();
            size_t got = want ? fread(in.data(), 1, want, input) : 0;
            if (ferror(input)) return false;
            remaining -= got;
            stream.next_in = in.data();
            stream.avail_in = got;
            if (got < want || remaining == 0) action = LZMA_FINISH;
        }
        lzma_ret ret = lzma_code(&stream, action);
        if (stream.avail_out == 0 || ret == LZMA_STREAM_END) {
            size_t n = outBuffer.size() - stream.avail_out;
            if (n && !out.put(outBuffer.data(), n)) return false;
            stream.next_out = outBuffer.data();
            stream.avail_out = outBuffer.size();
        }
        if (ret == LZMA_STREAM_END) return true;
        if (ret != LZMA_OK) return false;
    }
}

bool lzma2Options(const XzSettings& settings, lzma_options_lzma& options) {
    uint32_t preset = settings.preset | (settings.extreme ? LZMA_PRESET_EXTREME : 0);
    if (settings.preset > 9 || lzma_lzma_preset(&options, preset)) return false;
    if (settings.dictSize) options.dict_size = settings.dictSize;
    return true;
}

}  // namespace

bool xzDecompress(const std::string& package, const std::string& tar) {
    FILE* input = fopen(package.c_str(), "rb");
    if (!input) return false;
    FileSink out(tar);
    lzma_stream stream = LZMA_STREAM_INIT;
    bool ok = out.isOpen() &&
              lzma_stream_decoder(&stream, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK &&
              runCoder(stream, input, UINT64_MAX, out);
    lzma_end(&stream);
    fclose(input);
    return out.finish() && ok;
}

bool xzCompress(const std::string& input, const XzSettings& settings, ByteSink& out) {
    lzma_options_lzma options;
    if (!lzma2Options(settings, options)) return false;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_check check = static_cast<lzma_check>(settings.check);
    if (!lzma_check_is_supported(check)) return false;
    FILE* file = fopen(input.c_str(), "rb");
    if (!file) return false;
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_ret ret;
    if (settings.multithreaded) {
        // The output does not depend on the thread count (blocks are made
        // independently and written in order): two threads for two cores.
        lzma_mt mt{};
        mt.threads = 2;
        mt.block_size = settings.blockSize;
        mt.filters = filters;
        mt.check = check;
        ret = lzma_stream_encoder_mt(&stream, &mt);
    } else {
        ret = lzma_stream_encoder(&stream, filters, check);
    }
    bool ok = ret == LZMA_OK && runCoder(stream, file, UINT64_MAX, out);
    lzma_end(&stream);
    fclose(file);
    return ok && out.finish();
}

namespace {

// Compares with a window of the package: the bytes from `offset` on.
class OffsetCompareSink : public ByteSink {
public:
    OffsetCompareSink(const std::string& path, uint64_t offset, uint64_t enough)
        : file(fopen(path.c_str(), "rb")), enough(enough) {
        if (file && fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) {
            fclose(file);
            file = nullptr;
        }
    }
    ~OffsetCompareSink() override {
        if (file) fclose(file);
    }
    bool put(const unsigned char* bytes, size_t n) override {
        if (!file) return false;
        std::vector<unsigned char> buffer(n);
        size_t got = fread(buffer.data(), 1, n, file);
        size_t same = 0;
        while (same < got && buffer[same] == bytes[same]) ++same;
        agreed += same;
        return same == n && agreed < enough;
    }
    bool finish() override { return true; }
    uint64_t agreed = 0;

    OffsetCompareSink(const OffsetCompareSink&) = delete;
    OffsetCompareSink& operator=(const OffsetCompareSink&) = delete;

private:
    FILE* file;
    uint64_t enough;
};

}  // namespace

uint64_t xzProbe(const std::string& tar, const std::string& package, const XzStreamInfo& info,
                 const XzSettings& settings, uint64_t limit) {
    lzma_options_lzma options;
    if (!lzma2Options(settings, options)) return 0;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    FILE* file = fopen(tar.c_str(), "rb");
    if (!file) return 0;
    // Agreement over this many bytes settles the probe.
    OffsetCompareSink sink(package, info.firstBlockDataOffset, 256u << 10);
    lzma_stream stream = LZMA_STREAM_INIT;
    uint64_t input = info.firstBlockUncompressed < limit ? info.firstBlockUncompressed : limit;
    if (lzma_raw_encoder(&stream, filters) == LZMA_OK) runCoder(stream, file, input, sink);
    lzma_end(&stream);
    fclose(file);
    return sink.agreed;
}

std::string xzLibraryVersion() {
    return std::string("liblzma ") + lzma_version_string();
}
