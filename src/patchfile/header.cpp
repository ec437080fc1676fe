// The patch header: magic, version and, for version 2, the entry count.
#include <cstring>

#include "driver/driver.h"
#include "patchfile/patchfile.h"

bool isSupportedKind(uint32_t kind) {
    return kind == KIND_TAR || kind == KIND_BZIP2 || kind == KIND_GZIP || kind == KIND_BZIP2_OLD;
}

void writePatchHeader(OStream& out) {
    out.write(PATCH_MAGIC, 3);
    writeU16(out, PATCH_VERSION);
}

PatchHeader readPatchHeader(IStream& in) {
    char magic[3] = {0, 0, 0};
    if (in.read(magic, 3) != 3 || memcmp(magic, PATCH_MAGIC, 3) != 0)
        errorExit("Invalid patch file");
    PatchHeader header;
    header.version = readU16(in);
    if (header.version > PATCH_VERSION) errorExit("Cannot read package format.  Upgrade pakrev");
    header.entryCount = header.version == 2 ? readU16(in) : 1;
    return header;
}
