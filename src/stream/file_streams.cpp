// Plain file streams over the standard I/O library.
#include "stream/stream.h"

IFStream::IFStream(const std::string& path) : file(fopen(path.c_str(), "rb")) {}

IFStream::~IFStream() {
    if (file) fclose(file);
}

uint32_t IFStream::read(void* buffer, uint32_t n) {
    if (!file) return 0;
    return static_cast<uint32_t>(fread(buffer, 1, n, file));
}

OFStream::OFStream(const std::string& path) : file(fopen(path.c_str(), "wb")) {}

OFStream::~OFStream() { close(); }

uint32_t OFStream::write(const void* buffer, uint32_t n) {
    if (!file) return 0;
    return static_cast<uint32_t>(fwrite(buffer, 1, n, file));
}

bool OFStream::close() {
    if (!file) return false;
    bool ok = ferror(file) == 0;
    if (fclose(file) != 0) ok = false;
    file = nullptr;
    return ok;
}
