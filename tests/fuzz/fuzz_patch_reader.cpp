// Fuzzes the patch header and entry readers over an in-memory stream.
//
// An input whose header is refused instead fuzzes one entry of a version
// taken from its first byte. Blocks are written to /dev/null.
#include <cstddef>
#include <cstdlib>
#include <cstdint>
#include <string>

#include "memory_streams.h"
#include "patchfile/patchfile.h"

namespace {

// Reads entries the way the applier does; it stops at the first broken one.
void readEntries(IStream& in, uint16_t version, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        PatchEntry entry;
        readEntryNames(in, version, entry);
        readEntryParams(in, entry);
        entry.deltaPath = "/dev/null";
        entry.fixupPath = "/dev/null";
        entry.paramBlockPath = "/dev/null";
        int writeError = 0;
        BlockStatus status = readEntryBlocks(in, entry, writeError);
        // /dev/null takes every byte: only the input can be at fault.
        if (status == BLOCKS_WRITE_FAILED) abort();
        if (status != BLOCKS_OK) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    testsupport::MemoryIStream in(bytes);
    PatchHeader header;
    HeaderStatus status = readPatchHeader(in, header);
    // A header is at most 7 bytes: only a shorter input can be cut in it.
    if (status == HEADER_TRUNCATED && size >= 7) abort();
    if (status == HEADER_OK) {
        readEntries(in, header.version, header.entryCount);
    } else if (size > 0) {
        testsupport::MemoryIStream in(bytes.substr(1));
        readEntries(in, data[0] % 5, 1);
    }
    return 0;
}
