// Unpacking a package into a plain tar in the workspace, with the compression
// chosen by the ending of the package's file name.
#include "driver/driver.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "runtime/runtime.h"

bool endsWith(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

bool decompressToFile(uint32_t kind, const std::string& source, const std::string& destination) {
    switch (kind) {
        case KIND_BZIP2:
            return filterToFile("bunzip2", source, destination) == 0;
        case KIND_GZIP:
            return filterToFile("gunzip", source, destination) == 0;
        case KIND_TAR:
            return catToFile(source, destination) == 0;
        default:
            return false;
    }
}

bool unpackPackage(const std::string& packagePath, const std::string& destination,
                   uint32_t& kind) {
    // Order matters: "bz2" and "gz" come before "zip", so .tbz2 and .tgz are
    // packages while .gzip is refused. Only ".Z" carries its dot.
    if (endsWith(packagePath, "bz2"))
        kind = KIND_BZIP2;
    else if (endsWith(packagePath, "gz"))
        kind = KIND_GZIP;
    else if (endsWith(packagePath, "zip"))
        errorExit("zip files are unsupported (pardon the pun!)");
    else if (endsWith(packagePath, "lzw"))
        errorExit("lzw files are not supported");
    else if (endsWith(packagePath, ".Z"))
        errorExit(".Z compression not supported");
    else
        kind = KIND_TAR;
    return decompressToFile(kind, packagePath, destination);
}

bool unpack(PackageInfo& package) {
    package.tarPath = newTempName();
    return unpackPackage(package.fullPath(), package.tarPath, package.kind);
}
