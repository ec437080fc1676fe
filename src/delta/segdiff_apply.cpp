// The built-in applier of segdiff deltas: literal runs from the delta and
// copies from the reference file, in one forward pass.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "delta/delta.h"
#include "progress/progress.h"
#include "stream/stream.h"

namespace {

constexpr size_t IO_BUFFER = 1 << 20;

uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int truncated() {
    printOut("Error.  patchfile is truncated\n");
    return -1;
}

// Reads the whole record table; false when the delta ends inside it.
bool readRecords(IFStream& delta, uint32_t count, std::vector<SegdiffRecord>& records) {
    records.reserve(static_cast<size_t>(count) + 1);
    unsigned char chunk[SEGDIFF_RECORD_SIZE * 1024];
    uint32_t left = count;
    while (left > 0) {
        uint32_t batch = left < 1024 ? left : 1024;
        uint32_t bytes = batch * SEGDIFF_RECORD_SIZE;
        if (delta.read(chunk, bytes) != bytes) return false;
        for (uint32_t i = 0; i < batch; ++i) {
            const unsigned char* r = chunk + i * SEGDIFF_RECORD_SIZE;
            records.push_back({static_cast<int32_t>(le32(r)), le32(r + 4), le32(r + 8)});
        }
        left -= batch;
    }
    return true;
}

int applyRecords(IFStream& delta, IFStream& reference, const std::vector<SegdiffRecord>& records,
                 const std::string& outputPath, char* outputBuffer) {
    OFStream output(outputPath);
    if (!output.isOpen()) {
        printOut("cannot open output file (%s)\n", outputPath.c_str());
        return 1;
    }
    setvbuf(output.file, outputBuffer, _IOFBF, IO_BUFFER);
    auto cannotWrite = [&]() {
        printOut("cannot write output file (%s): %s\n", outputPath.c_str(),
               strerror(output.error() ? output.error() : EIO));
        return -1;
    };
    for (const SegdiffRecord& r : records) {
        if (!copyBytes(delta, output, r.literalLength))
            return output.error() ? cannotWrite() : truncated();
        // A move before the start of the reference cannot be made; copying
        // from where the position happens to stand would give wrong data.
        if (r.skip != 0 && fseeko(reference.file, r.skip, SEEK_CUR) != 0) {
            printOut("Error while copying from reference file\n");
            return -1;
        }
        if (!copyBytes(reference, output, r.copyLength)) {
            if (output.error()) return cannotWrite();
            printOut("Error while copying from reference file\n");
            return -1;
        }
    }
    if (!output.close()) return cannotWrite();
    return 0;
}

}  // namespace

int applySegdiffPatch(const std::string& referencePath, const std::string& outputPath,
                      const std::string& deltaPath) {
    // Large stdio buffers, declared first so they outlive the streams.
    std::vector<char> deltaBuffer(IO_BUFFER), referenceBuffer(IO_BUFFER), outputBuffer(IO_BUFFER);
    IFStream delta(deltaPath);
    if (!delta.isOpen()) {
        printOut("cannot open patchfile (%s)\n", deltaPath.c_str());
        return 1;
    }
    IFStream reference(referencePath);
    if (!reference.isOpen()) {
        printOut("cannot open reference file (%s)\n", referencePath.c_str());
        return 1;
    }
    setvbuf(delta.file, deltaBuffer.data(), _IOFBF, IO_BUFFER);
    setvbuf(reference.file, referenceBuffer.data(), _IOFBF, IO_BUFFER);

    char magic[3];
    if (delta.read(magic, 3) != 3 || memcmp(magic, SEGDIFF_MAGIC, 3) != 0) {
        printOut("Given file is not a recognized patchfile\n");
        return 1;
    }
    // The fields are checked in file order, so a short file still gets the
    // message of the first field that is present and wrong.
    unsigned char header[SEGDIFF_HEADER_SIZE - 3] = {};
    uint32_t got = delta.read(header, sizeof header);
    SegdiffHeader h;
    h.version = static_cast<uint16_t>(header[0] | (header[1] << 8));
    h.pointerSize = header[2];
    h.oldSize = le32(header + 3);
    h.outputSize = le32(header + 7);
    h.recordCount = le32(header + 11);
    if (got >= 2 && h.version != SEGDIFF_VERSION) {
        printOut("unsupported patch version\n");
        return 1;
    }
    if (got >= 3 && h.pointerSize != SEGDIFF_POINTER_SIZE) {
        printOut("unsupported file pointer size\n");
        return 1;
    }
    if (got != sizeof header) return truncated();
    // The record table must fit in the file before anything is allocated.
    int64_t deltaSize = fileSize64(deltaPath);
    if (deltaSize < SEGDIFF_HEADER_SIZE ||
        static_cast<uint64_t>(h.recordCount) * SEGDIFF_RECORD_SIZE >
            static_cast<uint64_t>(deltaSize) - SEGDIFF_HEADER_SIZE)
        return truncated();

    std::vector<SegdiffRecord> records;
    if (!readRecords(delta, h.recordCount, records)) return truncated();
    // The records may not write past the declared output size, and their
    // literal bytes must be in the file: checked before anything is written,
    // so a small delta cannot make a large output.
    uint64_t written = 0, literals = 0;
    for (const SegdiffRecord& r : records) {
        written += static_cast<uint64_t>(r.literalLength) + r.copyLength;
        literals += r.literalLength;
    }
    if (written > h.outputSize) {
        printOut("Error.  patchfile writes past its declared output size\n");
        return 1;
    }
    uint32_t rest = h.outputSize - static_cast<uint32_t>(written);
    uint64_t tableEnd = SEGDIFF_HEADER_SIZE + static_cast<uint64_t>(h.recordCount) * SEGDIFF_RECORD_SIZE;
    if (literals + rest > static_cast<uint64_t>(deltaSize) - tableEnd) return truncated();
    if (rest != 0) records.push_back({0, rest, 0});

    return applyRecords(delta, reference, records, outputPath, outputBuffer.data());
}
