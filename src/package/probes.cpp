// Compression probes: cheap trials on a prefix of the tar that rule out a
// gzip level or a bzip2 release before the full compression is run.
#include <algorithm>
#include <cstdio>
#include <vector>

#include <zlib.h>

#include "delta/delta.h"
#include "driver/options.h"
#include "package/package.h"
#include "progress/progress.h"
#include "runtime/runtime.h"
#include "stream/stream.h"

ProbeSettings probeSettings;

namespace {

// The probe's compression of the prefix, shown as a step of its own.
bool compressPrefix(const std::string& prefix, const std::string& probe, char levelDigit) {
    ProgressStep step(std::string("probe gzip -") + levelDigit, readingOf(prefix));
    return recompressGzipHeaderless(prefix, probe, levelDigit);
}

// Copies `length` bytes of `source` starting at `offset` into a new file.
bool copySlice(const std::string& source, uint64_t offset, uint64_t length,
               const std::string& destination) {
    IFStream in(source);
    OFStream out(destination);
    if (!in.isOpen() || !out.isOpen()) return false;
    if (fseeko(in.file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    bool ok = copyBytes(in, out, static_cast<uint32_t>(length));
    return out.close() && ok;
}

bool readWhole(const std::string& path, std::vector<unsigned char>& bytes) {
    int64_t size = fileSize64(path);
    if (size < 0) return false;
    bytes.resize(static_cast<size_t>(size));
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    size_t got = size ? fread(bytes.data(), 1, bytes.size(), f) : 0;
    fclose(f);
    return got == bytes.size();
}

// Bit position of the second block header in a bzip2 stream (the 48-bit
// block magic after the one that opens the first block), or 0 when there is
// none: then the first block was not filled, and nothing can be told.
uint64_t secondBlockBit(const std::vector<unsigned char>& z) {
    const uint64_t BLOCK_MAGIC = 0x314159265359ull;
    const uint64_t firstMagicBit = 32;  // after "BZh" and the block-size digit
    if (z.size() < 16) return 0;
    for (size_t i = (firstMagicBit + 48) / 8; i + 8 <= z.size(); ++i) {
        uint64_t window = 0;
        for (int k = 0; k < 8; ++k) window = (window << 8) | z[i + k];
        for (int shift = 0; shift < 8; ++shift) {
            if (((window << shift) >> 16) == BLOCK_MAGIC) return i * 8 + shift;
        }
    }
    return 0;
}

}  // namespace

uint64_t completeDeflateBlocks(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return 0;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        fclose(f);
        return 0;
    }
    std::vector<unsigned char> in(1 << 16), out(1 << 16);
    uint64_t lastBoundaryBit = 0, complete = 0;
    bool done = false;
    while (!done) {
        if (z.avail_in == 0) {
            z.avail_in = static_cast<uInt>(fread(in.data(), 1, in.size(), f));
            z.next_in = in.data();
            if (z.avail_in == 0) break;
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&z, Z_BLOCK);
        if (rc == Z_STREAM_END) {
            // Everything before the last block's start is complete blocks.
            complete = lastBoundaryBit / 8;
            done = true;
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            done = true;
        } else if ((z.data_type & 128) && !(z.data_type & 64)) {
            lastBoundaryBit = z.total_in * 8 - (z.data_type & 7);
        }
    }
    inflateEnd(&z);
    fclose(f);
    return complete;
}

bool gzipProbeRulesOut(const std::string& tarPath, const std::string& packagePath,
                       char levelDigit, bool useSegdiff) {
    if (!probeSettings.enabled) return false;
    int64_t tarSize = fileSize64(tarPath);
    int64_t packageHeader = gzipHeaderLength(packagePath);
    if (tarSize < 2 * static_cast<int64_t>(probeSettings.gzipInput) || packageHeader < 0)
        return false;

    std::string prefix = newTempName(), probe = newTempName(), kept = newTempName(),
                packagePart = newTempName(), delta = newTempName();
    bool rulesOut = false;
    if (copySlice(tarPath, 0, probeSettings.gzipInput, prefix) &&
        compressPrefix(prefix, probe, levelDigit)) {
        uint64_t keep = completeDeflateBlocks(probe);
        // Too little to judge by (a first block that the prefix did not
        // complete): the full path decides.
        if (keep >= 2 * FIXUP_LIMIT && copySlice(probe, 0, keep, kept) &&
            copySlice(packagePath, static_cast<uint64_t>(packageHeader), keep, packagePart)) {
            makeDelta(useSegdiff, kept, packagePart, delta);
            rulesOut = fileSize64(delta) > static_cast<int64_t>(FIXUP_LIMIT);
        }
    }
    for (const std::string& file : {prefix, probe, kept, packagePart, delta}) removeTempFile(file);
    return rulesOut;
}

bool bzip2ProbeRulesOut(const std::string& program, int blockSize, const std::string& tarPath,
                        const std::string& packagePath) {
    if (!probeSettings.enabled || blockSize < 1 || blockSize > 9) return false;
    uint64_t twoBlocks = 2ull * 100000 * static_cast<uint64_t>(blockSize);
    int64_t tarSize = fileSize64(tarPath);
    if (tarSize < 0 || static_cast<uint64_t>(tarSize) < 2 * twoBlocks) return false;

    std::string prefix = newTempName(), probe = newTempName();
    bool rulesOut = false;
    std::vector<unsigned char> out;
    if (copySlice(tarPath, 0, twoBlocks, prefix)) {
        compressToFile(program, static_cast<char>('0' + blockSize), prefix, probe);
        uint64_t bit = readWhole(probe, out) ? secondBlockBit(out) : 0;
        if (bit > 0) {
            // Everything before the second block header is the first block,
            // the same bytes a full compression must begin with.
            size_t bytes = static_cast<size_t>(bit / 8);
            std::vector<unsigned char> head(bytes);
            FILE* f = fopen(packagePath.c_str(), "rb");
            size_t got = f ? fread(head.data(), 1, bytes, f) : 0;
            if (f) fclose(f);
            rulesOut = got != bytes || !std::equal(head.begin(), head.end(), out.begin());
        }
    }
    removeTempFile(prefix);
    removeTempFile(probe);
    return rulesOut;
}
