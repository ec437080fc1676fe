// Patch entries: names, digests, kinds, parameters, flags and the delta,
// fixup and parameter blocks.
#include <cerrno>

#include "patchfile/patchfile.h"

namespace {

void readDigest(IStream& in, Md5Digest& digest) {
    digest.fill(0);
    in.read(digest.data(), static_cast<uint32_t>(digest.size()));
}

// Copies a length-prefixed block from the stream into a new file at path.
// The length is always read; the bytes only while the status is still OK.
void readBlock(IStream& in, const std::string& path, BlockStatus& status, int& writeError) {
    OFStream out(path);
    uint32_t length = readU32(in);
    if (status != BLOCKS_OK) {
        out.close();
        return;
    }
    if (!out.isOpen()) {
        status = BLOCKS_WRITE_FAILED;
        writeError = errno ? errno : EIO;
        return;
    }
    if (length == 0) status = BLOCKS_TRUNCATED;
    bool copied = status == BLOCKS_OK && copyBytes(in, out, length);
    bool closed = out.close();
    if (status != BLOCKS_OK) return;
    if (out.error() != 0) {
        status = BLOCKS_WRITE_FAILED;
        writeError = out.error();
    } else if (!copied || !closed || in.failed()) {
        status = BLOCKS_TRUNCATED;
    }
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

BlockStatus readEntryBlocks(IStream& in, PatchEntry& entry, int& writeError) {
    BlockStatus status = BLOCKS_OK;
    writeError = 0;
    readBlock(in, entry.deltaPath, status, writeError);
    if (entry.flags & FLAG_GZIP_FIXUP) readBlock(in, entry.fixupPath, status, writeError);
    if (entry.flags & FLAG_PARAM_BLOCK) readBlock(in, entry.paramBlockPath, status, writeError);
    return status;
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
