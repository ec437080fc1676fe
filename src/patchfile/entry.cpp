// Patch entries: names, digests, kinds, parameters, flags and the delta,
// fixup and parameter blocks.
#include "patchfile/patchfile.h"

namespace {

void readDigest(IStream& in, Md5Digest& digest) {
    digest.fill(0);
    in.read(digest.data(), static_cast<uint32_t>(digest.size()));
}

// Copies a length-prefixed block from the stream into a new file at path.
// The length is always read; the bytes only when `intact` still holds.
bool readBlock(IStream& in, const std::string& path, bool intact) {
    OFStream out(path);
    uint32_t length = readU32(in);
    if (length == 0) intact = false;
    if (intact) intact = out.isOpen() && copyBytes(in, out, length);
    if (!out.close()) intact = false;
    return intact;
}

// Writes a u32 length and the bytes of the file at path.
bool writeBlock(OStream& out, const std::string& path) {
    int64_t size = fileSize64(path);
    if (size < 0 || static_cast<uint64_t>(size) > PATCH_BLOCK_MAX) return false;
    writeU32(out, static_cast<uint32_t>(size));
    IFStream in(path);
    return in.isOpen() && copyBytes(in, out, static_cast<uint32_t>(size));
}

}  // namespace

void readEntryNames(IStream& in, uint16_t version, PatchEntry& entry) {
    entry.oldName = readString(in);
    if (version == 4) readDigest(in, entry.oldMd5);
    entry.newName = readString(in);
    if (version == 4) readDigest(in, entry.newMd5);
}

void readEntryParams(IStream& in, PatchEntry& entry) {
    entry.oldKind = readU16(in);
    entry.newKind = readU16(in);
    entry.newParams = readU32(in);
    entry.flags = readU32(in);
}

bool readEntryBlocks(IStream& in, PatchEntry& entry) {
    bool intact = readBlock(in, entry.deltaPath, true);
    if (entry.flags & FLAG_GZIP_FIXUP) intact = readBlock(in, entry.fixupPath, intact);
    if (entry.flags & FLAG_PARAM_BLOCK) intact = readBlock(in, entry.paramBlockPath, intact);
    return intact;
}

bool writePatchEntry(OStream& out, const PatchEntry& entry) {
    writeString(out, entry.oldName);
    out.write(entry.oldMd5.data(), 16);
    writeString(out, entry.newName);
    out.write(entry.newMd5.data(), 16);
    writeU16(out, entry.oldKind);
    writeU16(out, entry.newKind);
    writeU32(out, entry.newParams);
    writeU32(out, entry.flags);
    if (!writeBlock(out, entry.deltaPath)) return false;
    if ((entry.flags & FLAG_GZIP_FIXUP) && !writeBlock(out, entry.fixupPath)) return false;
    if ((entry.flags & FLAG_PARAM_BLOCK) && !writeBlock(out, entry.paramBlockPath)) return false;
    return true;
}
