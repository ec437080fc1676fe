// bench helper: settings_probe xz|zstd PACKAGE SCRATCH_TAR
// Unpacks the package, searches its encoder settings and prints one line:
// kind, found or not, the settings, the full compressions tried, seconds.
#include <chrono>
#include <cstdio>
#include <string>

#include "xz/xz.h"
#include "zstd/zstd.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    std::string kind = argv[1], package = argv[2], tar = argv[3];
    auto start = std::chrono::steady_clock::now();
    bool unpacked = kind == "xz" ? xzDecompress(package, tar) : zstdDecompress(package, tar);
    auto unpackedAt = std::chrono::steady_clock::now();
    if (!unpacked) {
        printf("%s unpack-failed\n", kind.c_str());
        return 1;
    }
    int tried = 0;
    bool found;
    char text[128];
    if (kind == "xz") {
        XzSettings s;
        found = xzFindSettings(tar, package, s, &tried);
        XzStreamInfo info;
        readXzStreamInfo(package, info);
        snprintf(text, sizeof text, "-%u%s check=%u %s blocks=%llu", s.preset, s.extreme ? "e" : "",
                 s.check, info.sizesInHeaders ? "mt" : "st",
                 static_cast<unsigned long long>(info.blockCount));
    } else {
        ZstdSettings s;
        found = zstdFindSettings(tar, package, s, &tried);
        snprintf(text, sizeof text, "-%d%s%s%s", s.level, s.longMode ? " --long" : "",
                 s.checksum ? "" : " --no-check", s.multithreaded ? " mt" : " st");
    }
    auto end = std::chrono::steady_clock::now();
    printf("%s %s %s tried=%d unpack=%.2fs search=%.2fs\n", kind.c_str(),
           found ? "reproduced" : "not-found", found ? text : "-", tried,
           std::chrono::duration<double>(unpackedAt - start).count(),
           std::chrono::duration<double>(end - unpackedAt).count());
    return found ? 0 : 1;
}
