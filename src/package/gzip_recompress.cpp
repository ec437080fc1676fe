// Headerless GNU gzip recompression: the compressed data and trailer that
// GNU gzip writes for a tar, without the gzip header in front of them.
#include "package/package.h"
#include "runtime/runtime.h"
#include "stream/stream.h"

bool recompressGzipHeaderless(const std::string& tarPath, const std::string& outputPath,
                              char levelDigit) {
    discoverGzip();
    if (gnuGzipPath().empty()) return false;

    std::string compressed = newTempName();
    bool ok = compressToFile(gnuGzipPath(), levelDigit, tarPath, compressed) == 0;
    uint32_t length = fileSize(compressed);
    {
        IFStream in(compressed);
        OFStream out(outputPath);
        // A file that ends inside its header (a failed compression) leaves
        // the output empty.
        int64_t headerLength = gzipHeaderLength(in, GZIP_FIELDS_IN_FLAG_ORDER);
        if (headerLength >= 0)
            ok = copyBytes(in, out, length - static_cast<uint32_t>(headerLength)) && ok;
        else
            ok = false;
        ok = out.close() && ok;
    }
    removeTempFile(compressed);
    // A compression or copy that failed part way leaves nothing at all.
    if (!ok) OFStream empty(outputPath);
    return true;
}
