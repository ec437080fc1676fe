// Rebuilding a new package from its patched tar: recompress as recorded,
// repair with the fixup delta, verify against the published digest, and only
// then move the result into place, atomically.
#include <cstdio>

#include "apply/apply.h"
#include "delta/delta.h"
#include "driver/options.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "progress/progress.h"
#include "runtime/runtime.h"

namespace {

bool digestOk(const PackageInfo& package, const std::string& path) {
    return !package.hasMd5 || md5Matches(package.md5, path);
}

bool recompressShown(const PackageKind& kind, const PackageInfo& package, const std::string& out) {
    ProgressStep step("recompressing " + package.fileName, readingOf(package.tarPath));
    return kind.recompress(package, out);
}

// Builds the finished package into `result` (a workspace file). False, with
// the reason printed, when it cannot be built or does not verify.
bool buildPackage(const PackageInfo& package, const std::string& result) {
    const PackageKind* kind = findKind(package.kind);
    if (!kind || !kind->recompress) return false;
    std::string recompressed = package.fixupPath.empty() ? result : newTempName();
    if (!recompressShown(*kind, package, recompressed)) return false;
    if (!package.fixupPath.empty()) {
        verbose("applying fixup delta\n");
        DeltaResult applied = applyDelta(recompressed, result, package.fixupPath, "fixup");
        removeTempFile(recompressed);
        if (applied == APPLY_FAILED) {
            reportError("permission denied on file: %s\n", package.fullPath().c_str());
            return false;
        }
        if (applied == APPLY_BAD_FORMAT) {
            reportError("Unknown delta format.  Try upgrading pakrev\n");
            return false;
        }
    }
    if (!digestOk(package, result)) {
        reportError("MD5 check failed!!!\n");
        return false;
    }
    return true;
}

// Moves the verified file to a fresh name beside the destination, then
// renames it over the final name: a published name never holds a partial
// file, also when the move crosses file systems and is interrupted.
bool placePackage(const PackageInfo& package, const std::string& result) {
    std::string placeholder = newSiblingTempFile(package.fullPath());
    if (placeholder.empty() || moveFile(result, placeholder) != 0 ||
        !commitSiblingTempFile(placeholder, package.fullPath())) {
        if (!placeholder.empty()) removeTempFile(placeholder);
        reportError("Access denied\n");
        return false;
    }
    return true;
}

}  // namespace

bool rebuildPackage(PackageInfo& package) {
    std::string result = newTempName();
    bool ok = buildPackage(package, result) && placePackage(package, result);
    removeTempFile(result);
    removeTempFile(package.tarPath);
    return ok;
}
