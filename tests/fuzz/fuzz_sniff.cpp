// Fuzzes sniffStream and the push-back stream: whatever the kind, the stream
// must afterwards deliver exactly its source's bytes, and the kind must agree
// with sniffBytes (the tar test being the only one sniffBytes cannot make).
//
// Input: one control byte, then the stream's bytes. The control byte picks
// how many bytes the source hands out per read (0: as many as asked), whether
// the stream is sniffed twice, and the size of the reads that drain it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "memory_streams.h"
#include "stream/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    uint8_t control = data[0];
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    uint32_t piece = control & 0x0F;
    bool twice = control & 0x10;
    static const uint32_t steps[] = {1, 5, 512, 4096};
    uint32_t step = steps[(control >> 5) & 3];

    testsupport::MemoryIStream source(bytes, piece);
    Injectable_IStream stream(source);
    FileKind kind = sniffStream(stream);
    if (twice && sniffStream(stream) != kind && piece == 0) abort();

    if (piece == 0) {
        FileKind lead = sniffBytes(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   static_cast<uint32_t>(bytes.size()));
        if (kind == FILE_TAR ? lead != FILE_NONE : kind != lead) abort();
    }
    if (testsupport::drain(stream, step) != bytes) abort();
    return 0;
}
