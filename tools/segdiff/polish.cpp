// The last pass over the copies of a small delta, measured against bzip2.
//
// A record costs 12 bytes that compress to a few, and more when its skip
// jumps far and the next record's jumps back. Some copies do not earn that:
// very short ones, and copies of bytes that the literal data holds anyway
// (a file that NEW has twice, once as new text and once copied from OLD
// elsewhere; bzip2's sort puts the two next to each other and codes the
// second for almost nothing). No price per record foresees this, so each
// such copy is tried as literal bytes instead, and kept as literal where the
// whole delta, compressed with bzip2 -9, gets smaller.
#include <bzlib.h>

#include <string>
#include <algorithm>

#include "segdiff.h"
#include "walk.h"

namespace segdiff {

using walk::Copy;

namespace {

void putU32(std::string& s, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) s.push_back(static_cast<char>((v >> shift) & 0xFF));
}

struct Image {
    const std::vector<Copy>& copies;
    const std::vector<char>& kept;
    const InputFile& oldFile;
    const InputFile& newFile;
    std::string bytes, literals;
    std::vector<char> compressed;

    // The delta as finishDelta would write it from the kept copies.
    void build() {
        bytes.clear();
        literals.clear();
        uint64_t count = 0;
        for (char k : kept) count += k ? 1 : 0;
        bytes.append(MAGIC, 3);
        bytes.push_back(static_cast<char>(FORMAT_VERSION & 0xFF));
        bytes.push_back(static_cast<char>(FORMAT_VERSION >> 8));
        bytes.push_back(static_cast<char>(POINTER_SIZE));
        putU32(bytes, static_cast<uint32_t>(oldFile.size));
        putU32(bytes, static_cast<uint32_t>(newFile.size));
        putU32(bytes, static_cast<uint32_t>(count));
        uint64_t covered = 0, readPos = 0;
        const char* text = reinterpret_cast<const char*>(newFile.data);
        for (size_t i = 0; i < copies.size(); ++i) {
            if (!kept[i]) continue;
            const Copy& c = copies[i];
            putU32(bytes, static_cast<uint32_t>(static_cast<int32_t>(static_cast<int64_t>(c.oldStart) -
                                                                      static_cast<int64_t>(readPos))));
            putU32(bytes, static_cast<uint32_t>(c.newStart - covered));
            putU32(bytes, static_cast<uint32_t>(c.length));
            literals.append(text + covered, c.newStart - covered);
            covered = c.newStart + c.length;
            readPos = c.oldStart + c.length;
        }
        literals.append(text + covered, newFile.size - covered);
        bytes += literals;
    }

    // Its size after bzip2 -9.
    uint64_t compressedSize() {
        build();
        compressed.resize(bytes.size() + bytes.size() / 100 + 1024);
        unsigned int size = static_cast<unsigned int>(compressed.size());
        // Within one block the size does not depend on the block size, and
        // the smallest block that holds the delta is the quickest to set up.
        // (A block holds a little less than its nominal size after bzip2's
        // first run-length step at worst, hence the margin.)
        int blockSize = static_cast<int>(bytes.size() / 80000 + 1);
        if (blockSize > 9) blockSize = 9;
        int rc = BZ2_bzBuffToBuffCompress(compressed.data(), &size, &bytes[0],
                                          static_cast<unsigned int>(bytes.size()), blockSize, 0, 0);
        if (rc != BZ_OK) fail("bzip2 failed while weighing the delta");
        return size;
    }
};

}  // namespace

uint64_t rawDeltaSize(const std::vector<Copy>& copies, const InputFile& newFile) {
    uint64_t copied = 0;
    for (const Copy& c : copies) copied += c.length;
    return HEADER_SIZE + RECORD_SIZE * copies.size() + newFile.size - copied;
}

uint64_t compressedDeltaSize(const std::vector<Copy>& copies, const InputFile& oldFile, const InputFile& newFile) {
    std::vector<char> kept(copies.size(), 1);
    Image image{copies, kept, oldFile, newFile, {}, {}, {}};
    return image.compressedSize();
}

void polishCopies(std::vector<Copy>& copies, const InputFile& oldFile, const InputFile& newFile) {
    const uint64_t raw = rawDeltaSize(copies, newFile);
    if (raw > POLISH_DELTA_LIMIT) return;
    // A patch may also be left uncompressed: the delta as written may grow
    // by at most 1/RAW_GROWTH_SHARE of its size.
    uint64_t growth = 0;
    std::vector<char> kept(copies.size(), 1);
    Image image{copies, kept, oldFile, newFile, {}, {}, {}};
    uint64_t best = image.compressedSize();

    // Shortest copies first: they are the likeliest to cost more than they
    // save, and the budget may run out before the long ones.
    std::vector<size_t> tried(copies.size());
    for (size_t i = 0; i < tried.size(); ++i) tried[i] = i;
    std::stable_sort(tried.begin(), tried.end(),
                     [&](size_t a, size_t b) { return copies[a].length < copies[b].length; });

    // Taking one copy out changes what the others are worth, so the pass
    // runs again while it finds something and the budget lasts.
    uint64_t spent = 0;
    for (bool found = true; found && spent <= POLISH_BUDGET;) {
        found = false;
        for (size_t i : tried) {
            if (spent > POLISH_BUDGET) break;
            if (!kept[i]) continue;
            const uint64_t grows = copies[i].length > RECORD_SIZE ? copies[i].length - RECORD_SIZE : 0;
            if (growth + grows > raw / RAW_GROWTH_SHARE) continue;
            kept[i] = 0;
            uint64_t size = image.compressedSize();
            spent += image.bytes.size();
            if (size < best) {
                best = size;
                growth += grows;
                found = true;
            } else {
                kept[i] = 1;
            }
        }
    }
    size_t n = 0;
    for (size_t i = 0; i < copies.size(); ++i)
        if (kept[i]) copies[n++] = copies[i];
    copies.resize(n);
}

}  // namespace segdiff
