// Reading a zstd frame header and walking its block headers, as the zstd
// frame format lays them out.
#include <cstdio>

#include "zstd/zstd.h"

namespace {

constexpr uint32_t FRAME_MAGIC = 0xFD2FB528u;

uint64_t little(const unsigned char* bytes, int n) {
    uint64_t value = 0;
    for (int i = n - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

bool readInfo(FILE* file, ZstdFrameInfo& info) {
    unsigned char header[18];  // magic, descriptor, window, dictionary id, content size
    size_t got = fread(header, 1, sizeof header, file);
    if (got < 6 || little(header, 4) != FRAME_MAGIC) return false;
    unsigned descriptor = header[4];
    if (descriptor & 0x08) return false;  // reserved bit
    int sizeFlag = descriptor >> 6;
    info.singleSegment = (descriptor & 0x20) != 0;
    info.checksum = (descriptor & 0x04) != 0;
    static const int DICT_BYTES[] = {0, 1, 2, 4};
    static const int SIZE_BYTES[] = {0, 2, 4, 8};
    int dictBytes = DICT_BYTES[descriptor & 3];
    int sizeBytes = sizeFlag == 0 && info.singleSegment ? 1 : SIZE_BYTES[sizeFlag];
    size_t position = 5;
    if (!info.singleSegment) {
        unsigned window = header[position++];
        uint64_t base = 1ull << (10 + (window >> 3));
        info.windowSize = base + (base / 8) * (window & 7);
    }
    if (position + dictBytes + sizeBytes > got) return false;
    info.dictionaryId = static_cast<uint32_t>(little(header + position, dictBytes));
    position += dictBytes;
    info.contentSizePresent = sizeBytes > 0;
    info.contentSize = little(header + position, sizeBytes) + (sizeBytes == 2 ? 256 : 0);
    position += sizeBytes;
    if (info.singleSegment) info.windowSize = info.contentSize;
    info.headerSize = static_cast<uint32_t>(position);

    // The blocks: three-byte headers, each followed by its content.
    uint64_t offset = position;
    for (;;) {
        unsigned char block[3];
        if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0 || fread(block, 1, 3, file) != 3)
            return false;
        uint32_t word = static_cast<uint32_t>(little(block, 3));
        uint32_t type = (word >> 1) & 3, size = word >> 3;
        if (type == 3) return false;
        offset += 3 + (type == 1 ? 1 : size);
        if (info.firstBlockEnd == 0) info.firstBlockEnd = offset;
        if (word & 1) break;
    }
    if (info.checksum) offset += 4;
    if (fseeko(file, 0, SEEK_END) != 0) return false;
    off_t end = ftello(file);
    if (end < 0 || static_cast<uint64_t>(end) < offset) return false;
    info.singleFrame = static_cast<uint64_t>(end) == offset;
    return true;
}

}  // namespace

bool readZstdFrameInfo(const std::string& path, ZstdFrameInfo& info) {
    info = ZstdFrameInfo{};
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    bool ok = readInfo(file, info);
    fclose(file);
    return ok;
}
