// The push-back stream: bytes given back are read again before the source.
#include <cstring>

#include "stream/stream.h"

Injectable_IStream::Injectable_IStream(IStream& source) : source(&source) {}

uint32_t Injectable_IStream::read(void* buffer, uint32_t n) {
    unsigned char* out = static_cast<unsigned char*>(buffer);
    uint32_t total = 0;
    while (!pending.empty()) {
        PushbackBuffer& b = pending.front();
        if (n < b.remaining) {
            memcpy(out, b.storage.get() + b.cursor, n);
            b.cursor += n;
            b.remaining -= n;
            return total + n;
        }
        uint32_t taken = b.remaining;
        if (taken) memcpy(out, b.storage.get() + b.cursor, taken);
        pending.pop_front();
        n -= taken;
        total += taken;
        out += taken;
    }
    return total + source->read(out, n);
}

void Injectable_IStream::inject(const void* bytes, uint32_t n) {
    PushbackBuffer b;
    b.storage.reset(new unsigned char[n ? n : 1]);
    if (n) memcpy(b.storage.get(), bytes, n);
    b.cursor = 0;
    b.remaining = n;
    pending.push_front(std::move(b));
}
