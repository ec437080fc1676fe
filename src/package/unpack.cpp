// Unpacking a package into a plain tar in the workspace, with the kind
// chosen by the ending of the package's file name.
#include "package/package.h"
#include "progress/progress.h"
#include "runtime/runtime.h"

namespace {

std::string unpackingStep(const std::string& packagePath) {
    size_t slash = packagePath.rfind('/');
    return "unpacking " + (slash == std::string::npos ? packagePath : packagePath.substr(slash + 1));
}

}  // namespace

bool decompressToFile(uint32_t kind, const std::string& source, const std::string& destination) {
    ProgressStep step(unpackingStep(source), readingOf(source));
    const PackageKind* row = findKind(kind);
    return row && row->decompress && row->decompress(source, destination);
}

bool unpackPackage(const std::string& packagePath, const std::string& destination,
                   uint32_t& kind) {
    const PackageKind& row = kindForFileName(packagePath);
    kind = row.code;
    ProgressStep step(unpackingStep(packagePath), readingOf(packagePath));
    return row.decompress(packagePath, destination);
}

bool showUnpacking(const std::string& packagePath, const std::function<bool()>& wait) {
    ProgressStep step(unpackingStep(packagePath), readingOf(packagePath));
    return wait();
}

bool unpack(PackageInfo& package) {
    package.tarPath = newTempName();
    return unpackPackage(package.fullPath(), package.tarPath, package.kind);
}

bool unpackRecorded(PackageInfo& package, uint32_t recordedKind) {
    package.tarPath = newTempName();
    return unpackRecordedInto(package, recordedKind);
}

bool unpackRecordedInto(PackageInfo& package, uint32_t recordedKind) {
    if (recordedKind != KIND_TAR)
        return unpackPackage(package.fullPath(), package.tarPath, package.kind);
    package.kind = KIND_TAR;
    return decompressToFile(KIND_TAR, package.fullPath(), package.tarPath);
}
