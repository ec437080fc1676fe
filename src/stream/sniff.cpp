// Classification of files and streams by their leading bytes.
#include <cstring>

#include "stream/stream.h"

namespace {

struct Signature {
    const char* bytes;
    uint32_t length;
    FileKind kind;
};

const Signature SIGNATURES[] = {
    {"PRV", 3, FILE_PATCH},       {"\x1f\x8b", 2, FILE_GZIP},     {"\x1f\x9e", 2, FILE_GZIP},
    {"BZ", 2, FILE_BZIP2},        {"PK\x03\x04", 4, FILE_ZIP},    {"%XDZ", 4, FILE_XDELTA},
    {"SGD", 3, FILE_SEGDIFF},
};

}  // namespace

FileKind sniffBytes(const unsigned char* bytes, uint32_t count) {
    // The leading bytes count as a text: at most four, cut at a zero byte.
    uint32_t length = 0;
    while (length < count && length < 4 && bytes[length] != 0) ++length;
    for (const Signature& sig : SIGNATURES) {
        if (length >= sig.length && memcmp(bytes, sig.bytes, sig.length) == 0) return sig.kind;
    }
    return FILE_NONE;
}

FileKind sniffFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return FILE_NONE;
    unsigned char head[4];
    size_t got = fread(head, 1, 4, f);
    fclose(f);
    return sniffBytes(head, static_cast<uint32_t>(got));
}

FileKind sniffStream(Injectable_IStream& stream) {
    unsigned char head[4];
    uint32_t got = stream.read(head, 4);
    stream.inject(head, got);
    FileKind kind = sniffBytes(head, got);
    if (kind != FILE_NONE) return kind;

    unsigned char block[TAR_BLOCK];
    got = stream.read(block, TAR_BLOCK);
    stream.inject(block, got);
    if (got >= TAR_MAGIC_OFFSET + 5 && memcmp(block + TAR_MAGIC_OFFSET, "ustar", 5) == 0)
        return FILE_TAR;
    return FILE_NONE;
}
