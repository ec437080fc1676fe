// The parameter words of the gzip-encoder kinds (layouts in gzip.h).
#include "gzip/gzip.h"

uint32_t zlibParams(const ZlibSettings& s) {
    return static_cast<uint32_t>(s.level) | static_cast<uint32_t>(s.memLevel) << 4 |
           static_cast<uint32_t>(s.strategy) << 8 | static_cast<uint32_t>(s.windowBits) << 12;
}

bool decodeZlibParams(uint32_t params, ZlibSettings& s) {
    if (params >> 16) return false;
    s.level = params & 0xF;
    s.memLevel = (params >> 4) & 0xF;
    s.strategy = (params >> 8) & 0xF;
    s.windowBits = (params >> 12) & 0xF;
    return s.level >= 1 && s.level <= 9 && s.memLevel >= 1 && s.memLevel <= 9 &&
           s.strategy <= 4 && s.windowBits >= 9;
}

uint32_t rsyncableParams(int level) { return static_cast<uint32_t>(level); }

bool decodeRsyncableParams(uint32_t params, int& level) {
    level = static_cast<int>(params);
    return params >= 1 && params <= 9;
}

uint32_t pigzParams(const PigzSettings& s) {
    return static_cast<uint32_t>(s.level) | (s.independent ? 0x10u : 0) |
           (s.rsyncable ? 0x20u : 0) | static_cast<uint32_t>(s.blockKiB) << 8;
}

bool decodePigzParams(uint32_t params, PigzSettings& s) {
    if ((params & 0xC0) || (params >> 24)) return false;
    s.level = params & 0xF;
    s.independent = (params & 0x10) != 0;
    s.rsyncable = (params & 0x20) != 0;
    s.blockKiB = static_cast<int>((params >> 8) & 0xFFFF);
    // pigz takes block sizes from 32 KiB up.
    return s.level >= 1 && s.level <= 9 && s.blockKiB >= 32;
}
