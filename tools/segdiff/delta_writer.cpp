// Records go to the output as they are found, right after the space kept
// for the header. Their count is known only at the end, and the literal data
// follows all records, so the literal bytes are gathered in a second pass:
// the records are read back and each one's literal is taken from NEW.
#include <climits>
#include <cstring>

#include "segdiff.h"

namespace segdiff {

namespace {

constexpr size_t FLUSH_SIZE = 1 << 20;
constexpr uint64_t RECORDS_PER_READ = 1 << 16;
constexpr uint64_t RELEASE_STEP = 32ull << 20;

void putU16(std::string& buf, uint16_t v) {
    buf.push_back(static_cast<char>(v & 0xFF));
    buf.push_back(static_cast<char>(v >> 8));
}

void putU32(std::string& buf, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) buf.push_back(static_cast<char>((v >> shift) & 0xFF));
}

uint32_t getU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void flushRecords(DeltaWriter& writer) {
    if (writer.pending.empty()) return;
    uint64_t stored = writer.recordCount - writer.pending.size() / RECORD_SIZE;
    writeAt(*writer.out, HEADER_SIZE + stored * RECORD_SIZE, writer.pending.data(), writer.pending.size());
    writer.pending.clear();
}

void addRecord(DeltaWriter& writer, int32_t skip, uint64_t literalLength, uint64_t copyLength) {
    if (writer.recordCount == UINT32_MAX) fail("too many records for one delta");
    putU32(writer.pending, static_cast<uint32_t>(skip));
    putU32(writer.pending, static_cast<uint32_t>(literalLength));
    putU32(writer.pending, static_cast<uint32_t>(copyLength));
    ++writer.recordCount;
    if (writer.pending.size() >= FLUSH_SIZE) flushRecords(writer);
}

// Literal bytes collected in a buffer and written out in large pieces.
struct LiteralSink {
    const OutputFile* out;
    uint64_t offset;
    std::string buffer;

    void add(const uint8_t* data, uint64_t size) {
        while (size > 0) {
            uint64_t room = FLUSH_SIZE - buffer.size();
            uint64_t n = size < room ? size : room;
            buffer.append(reinterpret_cast<const char*>(data), n);
            data += n;
            size -= n;
            if (buffer.size() == FLUSH_SIZE) flush();
        }
    }
    void flush() {
        writeAt(*out, offset, buffer.data(), buffer.size());
        offset += buffer.size();
        buffer.clear();
    }
};

}  // namespace

void startDelta(DeltaWriter& writer, OutputFile& out) {
    writer = DeltaWriter();
    writer.out = &out;
}

void addCopy(DeltaWriter& writer, uint64_t newStart, uint64_t oldStart, uint64_t length) {
    int64_t skip = static_cast<int64_t>(oldStart) - static_cast<int64_t>(writer.readPos);
    while (skip > INT32_MAX) {
        addRecord(writer, INT32_MAX, 0, 0);
        skip -= INT32_MAX;
    }
    while (skip < INT32_MIN) {
        addRecord(writer, INT32_MIN, 0, 0);
        skip -= INT32_MIN;
    }
    addRecord(writer, static_cast<int32_t>(skip), newStart - writer.covered, length);
    writer.covered = newStart + length;
    writer.readPos = oldStart + length;
}

void finishDelta(DeltaWriter& writer, const InputFile& oldFile, const InputFile& newFile) {
    flushRecords(writer);
    const uint64_t count = writer.recordCount;

    LiteralSink literals{writer.out, HEADER_SIZE + count * RECORD_SIZE, std::string()};
    std::string chunk;
    uint64_t newPos = 0, released = 0;
    for (uint64_t first = 0; first < count; first += RECORDS_PER_READ) {
        uint64_t n = count - first < RECORDS_PER_READ ? count - first : RECORDS_PER_READ;
        chunk.resize(n * RECORD_SIZE);
        readAt(*writer.out, HEADER_SIZE + first * RECORD_SIZE, &chunk[0], chunk.size());
        const unsigned char* rec = reinterpret_cast<const unsigned char*>(chunk.data());
        for (uint64_t k = 0; k < n; ++k, rec += RECORD_SIZE) {
            uint32_t literalLength = getU32(rec + 4), copyLength = getU32(rec + 8);
            if (literalLength > 0) literals.add(newFile.data + newPos, literalLength);
            newPos += static_cast<uint64_t>(literalLength) + copyLength;
            if (newPos - released >= RELEASE_STEP) {
                releaseRange(newFile, released, newPos);
                released = newPos;
            }
        }
    }
    if (newPos < newFile.size) literals.add(newFile.data + newPos, newFile.size - newPos);
    literals.flush();

    std::string header(MAGIC, 3);
    putU16(header, FORMAT_VERSION);
    header.push_back(static_cast<char>(POINTER_SIZE));
    putU32(header, static_cast<uint32_t>(oldFile.size));
    putU32(header, static_cast<uint32_t>(newFile.size));
    putU32(header, static_cast<uint32_t>(count));
    writeAt(*writer.out, 0, header.data(), header.size());
}

}  // namespace segdiff
