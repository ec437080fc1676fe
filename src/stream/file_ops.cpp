// Whole-file operations: existence, size, the bzip2 block-size digit.
#include <cstdio>

#include "stream/stream.h"

bool fileExists(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

int64_t fileSize64(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    int64_t size = -1;
    if (fseeko(f, 0, SEEK_END) == 0) size = static_cast<int64_t>(ftello(f));
    fclose(f);
    return size;
}

uint32_t fileSize(const std::string& path) {
    int64_t size = fileSize64(path);
    return size < 0 ? 0 : static_cast<uint32_t>(size);
}

int bzip2LevelDigit(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    unsigned char head[4];
    size_t got = fread(head, 1, 4, f);
    fclose(f);
    if (got < 4) return -1;
    return static_cast<signed char>(head[3]) - '0';
}
