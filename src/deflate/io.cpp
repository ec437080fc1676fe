// Byte sources and sinks, the compressed-input buffer and the data window.
#include <algorithm>

#include "deflate/internal.h"

namespace recon {

long MemorySource::read(uint8_t* buf, size_t n) {
    size_t k = std::min(n, size_ - pos_);
    if (k) memcpy(buf, data_ + pos_, k);
    pos_ += k;
    return static_cast<long>(k);
}

FileSource::FileSource(FILE* f) : f_(f), start_(ftell(f)) {}

long FileSource::read(uint8_t* buf, size_t n) {
    size_t k = fread(buf, 1, n, f_);
    if (k == 0 && ferror(f_)) return -1;
    return static_cast<long>(k);
}

bool FileSource::rewind() {
    if (start_ < 0) return false;
    clearerr(f_);
    return fseek(f_, start_, SEEK_SET) == 0;
}

bool StringSink::write(const uint8_t* data, size_t n) {
    out_.append(reinterpret_cast<const char*>(data), n);
    return true;
}

bool FileSink::write(const uint8_t* data, size_t n) { return fwrite(data, 1, n, f_) == n; }

const char* resultText(Result r) {
    switch (r) {
    case Result::Ok: return "ok";
    case Result::BadStream: return "not a deflate stream that can be represented";
    case Result::DataMismatch: return "the stream does not hold the given data";
    case Result::BadCorrections: return "the reconstruction record is damaged";
    case Result::TooLarge: return "a deflate block is too large";
    case Result::IoError: return "read or write error";
    case Result::NewerRecord: return "the reconstruction record needs a newer pakrev";
    }
    return "?";
}

bool InputBuffer::refill() {
    if (end_ || error_) return false;
    // Keep the last 16 bytes so that a few can be handed back.
    size_t keep = std::min<size_t>(16, len_);
    memmove(buf_, buf_ + len_ - keep, keep);
    pos_ = keep;
    len_ = keep;
    long n = src_.read(buf_ + keep, sizeof buf_ - keep);
    if (n < 0) { error_ = true; return false; }
    if (n == 0) { end_ = true; return false; }
    len_ += static_cast<size_t>(n);
    return true;
}

namespace {
constexpr size_t WINDOW_SIZE = 256 * 1024;
constexpr int64_t HISTORY = 32768 + 16;
}

Window::Window(ByteSource& s) : src_(s), buf_(WINDOW_SIZE) {}

int64_t Window::slowRequire(int64_t from, int64_t to) {
    int64_t keepFrom = std::max<int64_t>(base_, from - HISTORY);
    if (keepFrom > base_ + static_cast<int64_t>(fill_)) keepFrom = base_ + static_cast<int64_t>(fill_);
    if (to - keepFrom > static_cast<int64_t>(WINDOW_SIZE)) {
        // Asked for more than the window holds: give what fits.
        to = keepFrom + static_cast<int64_t>(WINDOW_SIZE);
    }
    if (to > base_ + static_cast<int64_t>(buf_.size())) {
        size_t drop = static_cast<size_t>(keepFrom - base_);
        memmove(buf_.data(), buf_.data() + drop, fill_ - drop);
        fill_ -= drop;
        base_ = keepFrom;
    }
    while (!eof_ && base_ + static_cast<int64_t>(fill_) < to) {
        long n = src_.read(buf_.data() + fill_, buf_.size() - fill_);
        if (n < 0) error_ = true;
        if (n <= 0) { eof_ = true; break; }
        fill_ += static_cast<size_t>(n);
    }
    int64_t have = base_ + static_cast<int64_t>(fill_);
    return to < have ? to : have;
}

}  // namespace recon
