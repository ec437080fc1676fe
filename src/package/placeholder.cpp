// PLACEHOLDER until the package subsystem is merged: delete this file when
// the real unpacking and gzip level search land (they define these symbols).
#include "driver/driver.h"
#include "package/package.h"

bool endsWith(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}
bool unpack(PackageInfo&) { errorExit("unpacking is not built yet"); }
bool unpackPackage(const std::string&, const std::string&, uint32_t&) {
    errorExit("unpacking is not built yet");
}
bool decompressToFile(uint32_t, const std::string&, const std::string&) {
    errorExit("unpacking is not built yet");
}
bool recompressGzipHeaderless(const std::string&, const std::string&, char) {
    errorExit("gzip recompression is not built yet");
}
int findGzipLevel(const std::string&, const std::string&, const std::string&, const std::string&,
                  bool) {
    errorExit("gzip level search is not built yet");
}
