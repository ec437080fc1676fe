// The patch header: magic, version and, for version 2, the entry count.
#include <cstring>

#include "patchfile/patchfile.h"

void writePatchHeader(OStream& out) {
    out.write(PATCH_MAGIC, 3);
    writeU16(out, PATCH_VERSION);
}

HeaderStatus readPatchHeader(IStream& in, PatchHeader& header) {
    char magic[3] = {0, 0, 0};
    header = PatchHeader{};
    if (in.read(magic, 3) != 3 || memcmp(magic, PATCH_MAGIC, 3) != 0) return HEADER_BAD_MAGIC;
    header.version = readU16(in);
    if (header.version > PATCH_VERSION) return HEADER_TOO_NEW;
    header.entryCount = header.version == 2 ? readU16(in) : 1;
    return HEADER_OK;
}
