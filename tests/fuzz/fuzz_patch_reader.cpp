// Fuzzes the patch header and entry readers over an in-memory stream.
//
// readPatchHeader ends the process on a wrong magic or a version above 4, so
// the header is checked here first and such inputs instead fuzz one entry of
// a version taken from the first byte. Blocks are written to /dev/null.
#include <cstddef>
#include <cstdint>
#include <cstring>
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
        if (!readEntryBlocks(in, entry)) return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    bool headerAccepted = size >= 5 && memcmp(data, PATCH_MAGIC, 3) == 0 &&
                          (data[3] | (data[4] << 8)) <= PATCH_VERSION;
    if (headerAccepted) {
        testsupport::MemoryIStream in(bytes);
        PatchHeader header = readPatchHeader(in);
        readEntries(in, header.version, header.entryCount);
    } else if (size > 0) {
        testsupport::MemoryIStream in(bytes.substr(1));
        readEntries(in, data[0] % 5, 1);
    }
    return 0;
}
