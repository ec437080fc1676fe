// The gzip kind: packages that a GNU gzip level reproduces, up to a small
// fixup delta that mends the header.
#include <sys/wait.h>

#include "driver/options.h"
#include "package/kinds.h"
#include "runtime/runtime.h"

bool decompressGzip(const std::string& package, const std::string& tar) {
    // gunzip ends with status 2 after a warning: bytes after the last member
    // that are not a gzip member ("trailing garbage ignored"). The content is
    // complete then; the bytes themselves are the rebuild's to put back.
    int status = filterToFile("gunzip", package, tar);
    return status == 0 || (WIFEXITED(status) && WEXITSTATUS(status) == 2);
}

void characteriseGzip(const PackageInfo& newPackage, const std::string& fixupPath,
                      Characterisation& out) {
    out = Characterisation{};
    out.kind = KIND_GZIP;
    out.fixupPath = fixupPath;
    std::string scratch = newTempName();
    // GNU gzip levels first: a package they reproduce gets the same patch
    // as before the other encoders were known.
    int level = searchGzipLevel(newPackage.tarPath, newPackage.fullPath(), scratch, out.fixupPath,
                                options.useSegdiff);
    if (level == 0) {
        characteriseGzipEncoders(newPackage, out);
        return;
    }
    out.params = static_cast<uint32_t>(level);
}

bool recompressGzip(const PackageInfo& package, const std::string& output) {
    char level = paramsLevelDigit(package.params);
    verbose("compressing with gzip level %c\n", level);
    if (!recompressGzipHeaderless(package.tarPath, output, level)) errorExit("Can't find GNU gzip");
    if (fileSize64(output) > 0) return true;
    reportError("gzip could not compress %s\n", package.fullPath().c_str());
    return false;
}
