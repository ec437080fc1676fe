// Gzip packages rebuilt by deflate reconstruction: making the record (and
// proving it rebuilds the package), and rebuilding from the parameter block.
#include <cstdio>
#include <cstring>
#include <vector>

#include "gzip/gzip.h"
#include "patchfile/patchfile.h"

namespace {

// A stretch of an open file: `length` bytes from `offset`.
class FileRangeSource : public recon::ByteSource {
public:
    FileRangeSource(FILE* f, uint64_t offset, uint64_t length)
        : f_(f), offset_(offset), length_(length) {
        rewind();
    }
    long read(uint8_t* buf, size_t n) override {
        if (!ok_) return -1;
        if (n > left_) n = static_cast<size_t>(left_);
        if (n == 0) return 0;
        size_t k = fread(buf, 1, n, f_);
        if (k == 0) return ferror(f_) ? -1 : 0;
        left_ -= k;
        return static_cast<long>(k);
    }
    bool rewind() override {
        clearerr(f_);
        ok_ = fseeko(f_, static_cast<off_t>(offset_), SEEK_SET) == 0;
        left_ = length_;
        return ok_;
    }
private:
    FILE* f_;
    uint64_t offset_, length_, left_ = 0;
    bool ok_ = false;
};

// Compares what it is given with a file as it comes.
class CompareSink : public recon::ByteSink {
public:
    explicit CompareSink(FILE* f) : f_(f) {}
    bool write(const uint8_t* data, size_t n) override {
        uint8_t buf[65536];
        while (n > 0) {
            size_t k = n < sizeof buf ? n : sizeof buf;
            if (fread(buf, 1, k, f_) != k || memcmp(buf, data, k) != 0) {
                same_ = false;
                return false;
            }
            data += k;
            n -= k;
        }
        return true;
    }
    // True when every byte so far was equal and the file has no more.
    bool whole() { return same_ && fgetc(f_) == EOF; }
private:
    FILE* f_;
    bool same_ = true;
};

struct File {
    FILE* f;
    File(const std::string& path, const char* mode) : f(fopen(path.c_str(), mode)) {}
    ~File() {
        if (f) fclose(f);
    }
    bool close() {
        bool ok = f && fclose(f) == 0;
        f = nullptr;
        return ok;
    }
};

// Rebuilds from the record into the sink; the result of the engine.
recon::Result rebuildInto(FILE* record, uint64_t offset, uint64_t length, FILE* tar,
                          recon::ByteSink& out) {
    FileRangeSource recordSource(record, offset, length);
    recon::FileSource data(tar);
    return recon::rebuildGzip(recordSource, data, out);
}

}  // namespace

recon::Result makeGzipRecord(const std::string& packagePath, const std::string& tarPath,
                             const std::string& recordPath, recon::MakeStats* stats) {
    File package(packagePath, "rb"), tar(tarPath, "rb");
    if (!package.f || !tar.f) return recon::Result::IoError;
    recon::Result made;
    {
        File record(recordPath, "wb");
        if (!record.f) return recon::Result::IoError;
        recon::FileSource packageSource(package.f), dataSource(tar.f);
        recon::FileSink recordSink(record.f);
        made = recon::makeGzip(packageSource, dataSource, recordSink, stats);
        if (!record.close() && made == recon::Result::Ok) made = recon::Result::IoError;
    }
    if (made != recon::Result::Ok) return made;
    // The record is only accepted once it has rebuilt the package.
    File record(recordPath, "rb");
    if (!record.f || fseeko(record.f, 0, SEEK_END) != 0) return recon::Result::IoError;
    off_t length = ftello(record.f);
    if (length < 0 || fseeko(package.f, 0, SEEK_SET) != 0 || fseeko(tar.f, 0, SEEK_SET) != 0)
        return recon::Result::IoError;
    CompareSink compare(package.f);
    recon::Result rebuilt =
        rebuildInto(record.f, 0, static_cast<uint64_t>(length), tar.f, compare);
    if (rebuilt == recon::Result::IoError) return rebuilt;
    return rebuilt == recon::Result::Ok && compare.whole() ? recon::Result::Ok
                                                           : recon::Result::DataMismatch;
}

GzipRecordRebuild rebuildFromRecordBlock(const std::string& paramBlockPath,
                                         const std::string& tarPath,
                                         const std::string& outputPath) {
    std::vector<ParamFieldSpan> fields;
    if (!scanParamBlock(paramBlockPath, fields)) return GZIP_RECORD_DAMAGED;
    const ParamFieldSpan* record = nullptr;
    for (const ParamFieldSpan& field : fields) {
        if (field.tag == PARAM_GZIP_RECORD) {
            if (record) return GZIP_RECORD_DAMAGED;
            record = &field;
        } else if (field.tag & PARAM_CRITICAL) {
            return GZIP_RECORD_UNKNOWN;
        }
    }
    if (!record) return GZIP_RECORD_UNKNOWN;
    File block(paramBlockPath, "rb"), tar(tarPath, "rb"), out(outputPath, "wb");
    if (!block.f) return GZIP_RECORD_DAMAGED;
    if (!tar.f || !out.f) return GZIP_RECORD_IO;
    recon::FileSink sink(out.f);
    recon::Result r = rebuildInto(block.f, record->offset, record->length, tar.f, sink);
    bool closed = out.close();
    if (r == recon::Result::IoError || (r == recon::Result::Ok && !closed)) return GZIP_RECORD_IO;
    if (r == recon::Result::NewerRecord) return GZIP_RECORD_UNKNOWN;
    return r == recon::Result::Ok ? GZIP_RECORD_REBUILT : GZIP_RECORD_DAMAGED;
}
