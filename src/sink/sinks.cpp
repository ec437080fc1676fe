// File and comparison sinks for compressor output.
#include <cstring>
#include <vector>

#include "sink/sink.h"

FileSink::FileSink(const std::string& path) : file(fopen(path.c_str(), "wb")) {}

FileSink::~FileSink() {
    if (file) fclose(file);
}

bool FileSink::put(const unsigned char* bytes, size_t n) {
    if (!file || failed) return false;
    if (n && fwrite(bytes, 1, n, file) != n) failed = true;
    return !failed;
}

bool FileSink::finish() {
    if (!file) return false;
    bool ok = !failed && fflush(file) == 0 && !ferror(file);
    ok = fclose(file) == 0 && ok;
    file = nullptr;
    return ok;
}

CompareSink::CompareSink(const std::string& path) : file(fopen(path.c_str(), "rb")) {}

CompareSink::~CompareSink() {
    if (file) fclose(file);
}

bool CompareSink::put(const unsigned char* bytes, size_t n) {
    if (!file || differs) return false;
    unsigned char buffer[65536];
    while (n > 0) {
        size_t want = n < sizeof buffer ? n : sizeof buffer;
        size_t got = fread(buffer, 1, want, file);
        size_t same = 0;
        while (same < got && buffer[same] == bytes[same]) ++same;
        agreed += same;
        if (same < want) {
            differs = true;
            return false;
        }
        bytes += want;
        n -= want;
    }
    return true;
}

bool CompareSink::finish() {
    if (!file || differs) return false;
    if (fgetc(file) != EOF) {
        differs = true;  // the file is longer than the output
        return false;
    }
    return true;
}
