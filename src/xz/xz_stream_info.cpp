// Reading the structure of an .xz file: stream header and footer, index and
// block headers, without decoding the compressed data.
#include <lzma.h>

#include <cstdio>
#include <vector>

#include "xz/xz.h"

namespace {

bool readAt(FILE* file, uint64_t offset, uint8_t* buffer, size_t n) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 &&
           fread(buffer, 1, n, file) == n;
}

// Decodes the block header at `offset`; fills the filter facts of the block.
bool readBlockHeader(FILE* file, uint64_t offset, lzma_check check, bool& lzma2Only,
                     uint32_t& dictSize, bool& sizesPresent, uint32_t& headerSize) {
    uint8_t header[LZMA_BLOCK_HEADER_SIZE_MAX];
    if (!readAt(file, offset, header, 1) || header[0] == 0) return false;
    headerSize = lzma_block_header_size_decode(header[0]);
    if (!readAt(file, offset, header, headerSize)) return false;
    lzma_filter filters[LZMA_FILTERS_MAX + 1];
    lzma_block block{};
    block.version = 1;
    block.check = check;
    block.filters = filters;
    block.header_size = headerSize;
    if (lzma_block_header_decode(&block, nullptr, header) != LZMA_OK) return false;
    lzma2Only = filters[0].id == LZMA_FILTER_LZMA2 && filters[1].id == LZMA_VLI_UNKNOWN;
    dictSize = lzma2Only ? static_cast<const lzma_options_lzma*>(filters[0].options)->dict_size : 0;
    sizesPresent = block.compressed_size != LZMA_VLI_UNKNOWN &&
                   block.uncompressed_size != LZMA_VLI_UNKNOWN;
    lzma_filters_free(filters, nullptr);
    return true;
}

bool readInfo(FILE* file, XzStreamInfo& info) {
    if (fseeko(file, 0, SEEK_END) != 0) return false;
    off_t end = ftello(file);
    if (end < 2 * static_cast<off_t>(LZMA_STREAM_HEADER_SIZE)) return false;
    uint64_t fileSize = static_cast<uint64_t>(end);

    uint8_t buffer[LZMA_STREAM_HEADER_SIZE];
    lzma_stream_flags header, footer;
    if (!readAt(file, 0, buffer, sizeof buffer) ||
        lzma_stream_header_decode(&header, buffer) != LZMA_OK)
        return false;
    info.check = static_cast<uint32_t>(header.check);
    // A footer at the very end; padding or trailing bytes put zeros or
    // something else there, which is not one stream filling the file.
    if (!readAt(file, fileSize - LZMA_STREAM_HEADER_SIZE, buffer, sizeof buffer) ||
        lzma_stream_footer_decode(&footer, buffer) != LZMA_OK ||
        lzma_stream_flags_compare(&header, &footer) != LZMA_OK)
        return false;
    uint64_t indexSize = footer.backward_size;
    if (indexSize + 2 * LZMA_STREAM_HEADER_SIZE > fileSize) return false;
    uint64_t indexOffset = fileSize - LZMA_STREAM_HEADER_SIZE - indexSize;
    std::vector<uint8_t> indexBytes(indexSize);
    if (!readAt(file, indexOffset, indexBytes.data(), indexBytes.size())) return false;
    lzma_index* index = nullptr;
    uint64_t memlimit = UINT64_MAX;
    size_t position = 0;
    if (lzma_index_buffer_decode(&index, &memlimit, nullptr, indexBytes.data(), &position,
                                 indexBytes.size()) != LZMA_OK)
        return false;
    bool ok = lzma_index_stream_size(index) == fileSize;
    info.singleStream = ok;
    info.blockCount = lzma_index_block_count(index);
    info.uncompressedSize = lzma_index_uncompressed_size(index);
    info.uniformBlocks = true;
    info.lzma2Only = info.blockCount > 0;

    lzma_index_iter iter;
    lzma_index_iter_init(&iter, index);
    uint64_t blockNumber = 0;
    while (ok && !lzma_index_iter_next(&iter, LZMA_INDEX_ITER_BLOCK)) {
        bool lzma2Only = false, sizesPresent = false;
        uint32_t dictSize = 0, headerSize = 0;
        if (!readBlockHeader(file, iter.block.compressed_file_offset, header.check, lzma2Only,
                             dictSize, sizesPresent, headerSize)) {
            ok = false;
            break;
        }
        if (blockNumber == 0) {
            info.dictSize = dictSize;
            info.sizesInHeaders = sizesPresent;
            info.firstBlockUncompressed = iter.block.uncompressed_size;
            info.firstBlockDataOffset = iter.block.compressed_file_offset + headerSize;
        } else {
            if (dictSize != info.dictSize || sizesPresent != info.sizesInHeaders)
                info.uniformBlocks = false;
            // Only the last block may be shorter; none may be longer.
            if (blockNumber + 1 < info.blockCount
                    ? iter.block.uncompressed_size != info.firstBlockUncompressed
                    : iter.block.uncompressed_size > info.firstBlockUncompressed)
                info.uniformBlocks = false;
        }
        info.lzma2Only = info.lzma2Only && lzma2Only;
        ++blockNumber;
    }
    lzma_index_end(index, nullptr);
    return ok;
}

}  // namespace

bool readXzStreamInfo(const std::string& path, XzStreamInfo& info) {
    info = XzStreamInfo{};
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return false;
    bool ok = readInfo(file, info);
    fclose(file);
    return ok;
}
