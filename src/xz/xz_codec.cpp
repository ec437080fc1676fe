// Streaming xz decompression and compression through liblzma.
#include <lzma.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "xz/xz.h"

namespace {

constexpr size_t BUFFER_SIZE = 1 << 16;

// Runs the coder over the input file, handing every output byte to the
// sink. Input is read in pieces of at most `blockSize` bytes (0: no such
// bound); after each full piece the coder gets LZMA_FULL_FLUSH, which ends
// the block (the stream encoder then starts a new one), and at the end of
// the input LZMA_FINISH. `limit` caps the input bytes read: with `finish`
// the coder is finished there as if the input ended; without, the run stops
// there and only the output the coder has already given is passed on.
// False when the coder fails, the input cannot be read, or the sink refuses.
bool runCoder(lzma_stream& stream, FILE* input, uint64_t limit, bool finish, uint64_t blockSize,
              ByteSink& out) {
    std::vector<uint8_t> in(BUFFER_SIZE), outBuffer(BUFFER_SIZE);
    lzma_action action = LZMA_RUN;
    uint64_t remaining = limit;
    uint64_t blockLeft = blockSize ? blockSize : UINT64_MAX;
    stream.next_out = outBuffer.data();
    stream.avail_out = outBuffer.size();
    auto flushOut = [&]() {
        size_t n = outBuffer.size() - stream.avail_out;
        stream.next_out = outBuffer.data();
        stream.avail_out = outBuffer.size();
        return n == 0 || out.put(outBuffer.data(), n);
    };
    for (;;) {
        if (stream.avail_in == 0 && action == LZMA_RUN) {
            if (remaining == 0 && !finish) return flushOut();
            uint64_t want64 = std::min<uint64_t>({remaining, in.size(), blockLeft});
            size_t want = static_cast<size_t>(want64);
            size_t got = want ? fread(in.data(), 1, want, input) : 0;
            if (ferror(input)) return false;
            remaining -= got;
            blockLeft -= got;
            stream.next_in = in.data();
            stream.avail_in = got;
            if (got < want || (remaining == 0 && finish)) {
                action = LZMA_FINISH;
            } else if (blockLeft == 0) {
                action = LZMA_FULL_FLUSH;
                blockLeft = blockSize;
            }
        }
        lzma_ret ret = lzma_code(&stream, action);
        if (stream.avail_out == 0 || ret == LZMA_STREAM_END) {
            if (!flushOut()) return false;
        }
        if (ret == LZMA_STREAM_END && action == LZMA_FULL_FLUSH) {
            action = LZMA_RUN;
            continue;
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

namespace {

constexpr unsigned char XZ_MAGIC[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};

// After a stream ending at `offset`: skips stream padding (zero bytes in
// groups of four) and tells whether another stream starts there (`next`
// set to its offset). False at the end of the file or before bytes that are
// not a stream.
bool nextStream(FILE* input, uint64_t offset, uint64_t& next) {
    if (fseeko(input, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    int c;
    uint64_t zeros = 0;
    while ((c = fgetc(input)) == 0) ++zeros;
    if (c == EOF || zeros % 4 != 0) return false;
    unsigned char magic[sizeof XZ_MAGIC];
    magic[0] = static_cast<unsigned char>(c);
    if (fread(magic + 1, 1, sizeof magic - 1, input) != sizeof magic - 1 ||
        memcmp(magic, XZ_MAGIC, sizeof magic) != 0)
        return false;
    next = offset + zeros;
    return true;
}

}  // namespace

bool xzDecompress(const std::string& package, const std::string& tar) {
    FILE* input = fopen(package.c_str(), "rb");
    if (!input) return false;
    FileSink out(tar);
    // Stream by stream: what follows the last whole stream (padding, or
    // bytes that are not a stream) ends the tar, as it ends xz's output.
    bool ok = out.isOpen();
    uint64_t offset = 0;
    while (ok) {
        lzma_stream stream = LZMA_STREAM_INIT;
        ok = fseeko(input, static_cast<off_t>(offset), SEEK_SET) == 0 &&
             lzma_stream_decoder(&stream, UINT64_MAX, 0) == LZMA_OK &&
             runCoder(stream, input, UINT64_MAX, true, 0, out);
        offset += stream.total_in;
        lzma_end(&stream);
        if (ok && !nextStream(input, offset, offset)) break;
    }
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
    // Single-threaded xz with --block-size ends a block after every
    // blockSize input bytes; the multi-threaded encoder splits by itself.
    uint64_t flushEvery = settings.multithreaded ? 0 : settings.blockSize;
    bool ok = ret == LZMA_OK && runCoder(stream, file, UINT64_MAX, true, flushEvery, out);
    lzma_end(&stream);
    fclose(file);
    return ok && out.finish();
}

namespace {

// Compares with a window of the package: the bytes from `offset` on. Stops
// (refuses) at the first difference or once `enough` bytes agreed.
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
        if (!file) {
            differs = true;
            return false;
        }
        std::vector<unsigned char> buffer(n);
        size_t got = fread(buffer.data(), 1, n, file);
        size_t same = 0;
        while (same < got && buffer[same] == bytes[same]) ++same;
        agreed += same;
        differs = same != n;
        return !differs && agreed < enough;
    }
    bool finish() override { return true; }
    uint64_t agreed = 0;
    bool differs = false;

    OffsetCompareSink(const OffsetCompareSink&) = delete;
    OffsetCompareSink& operator=(const OffsetCompareSink&) = delete;

private:
    FILE* file;
    uint64_t enough;
};

// Agreement over this many bytes of the first block's data settles a probe.
constexpr uint64_t PROBE_AGREEMENT = 256u << 10;

}  // namespace

bool xzProbe(const std::string& tar, const std::string& package, const XzStreamInfo& info,
             const XzSettings& settings, uint64_t limit) {
    lzma_options_lzma options;
    if (!lzma2Options(settings, options)) return false;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    FILE* file = fopen(tar.c_str(), "rb");
    if (!file) return false;
    OffsetCompareSink sink(package, info.firstBlockDataOffset, PROBE_AGREEMENT);
    lzma_stream stream = LZMA_STREAM_INIT;
    // The whole first block is finished as the package's was; a longer one
    // is run without finishing, so that all the output seen is what the
    // full compression gives too.
    bool whole = info.firstBlockUncompressed <= limit;
    uint64_t input = whole ? info.firstBlockUncompressed : limit;
    bool ran = lzma_raw_encoder(&stream, filters) == LZMA_OK;
    if (ran) runCoder(stream, file, input, whole, 0, sink);
    lzma_end(&stream);
    fclose(file);
    return ran && !sink.differs && sink.agreed > 0;
}

std::string xzLibraryVersion() {
    return std::string("liblzma ") + lzma_version_string();
}
