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
    unsigned char field[2];
    if (in.read(field, 2) != 2) return HEADER_TRUNCATED;
    header.version = static_cast<uint16_t>(field[0] | (field[1] << 8));
    if (header.version > PATCH_VERSION) return HEADER_TOO_NEW;
    header.entryCount = 1;
    if (header.version == 2) {
        if (in.read(field, 2) != 2) return HEADER_TRUNCATED;
        header.entryCount = static_cast<uint16_t>(field[0] | (field[1] << 8));
    }
    return HEADER_OK;
}
