// Plain file streams over the standard I/O library.
#include <cerrno>

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
    errno = 0;
    uint32_t put = static_cast<uint32_t>(fwrite(buffer, 1, n, file));
    if (put != n && firstError == 0) firstError = errno ? errno : EIO;
    return put;
}

bool OFStream::close() {
    if (!file) return false;
    bool ok = ferror(file) == 0;
    errno = 0;
    if (fclose(file) != 0) {
        ok = false;
        if (firstError == 0) firstError = errno ? errno : EIO;
    }
    if (!ok && firstError == 0) firstError = EIO;
    file = nullptr;
    return ok;
}
