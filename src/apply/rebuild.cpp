// Rebuilding a new package from its patched tar: recompress as recorded,
// repair with the fixup delta, verify against the published digest, and only
// then move the result into place, atomically.
#include <cerrno>
#include <cstring>
#include <cstdio>

#include "apply/apply.h"
#include "delta/delta.h"
#include "driver/options.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "progress/progress.h"
#include "runtime/runtime.h"

namespace {

// Says why the workspace cannot be written, when that is so; true then.
bool reportWorkspaceFailure() {
    std::string why = workspaceWriteFailure();
    if (why.empty()) return false;
    reportError("cannot write into the workspace %s: %s\n", workspacePath().c_str(), why.c_str());
    return true;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

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
    if (!recompressShown(*kind, package, recompressed)) {
        reportWorkspaceFailure();
        return false;
    }
    if (!package.fixupPath.empty()) {
        verbose("applying fixup delta\n");
        DeltaResult applied = applyDelta(recompressed, result, package.fixupPath, "fixup");
        removeTempFile(recompressed);
        if (applied == APPLY_FAILED) {
            if (!reportWorkspaceFailure())
                reportError("cannot apply the fixup delta of %s\n", package.fullPath().c_str());
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
// The reason is the system's: the failed move's own error where it left one,
// else the directory is probed.
bool placePackage(const PackageInfo& package, const std::string& result) {
    std::string placeholder = newSiblingTempFile(package.fullPath());
    int moveError = 0;
    bool moved = !placeholder.empty() && moveFile(result, placeholder) == 0;
    if (!placeholder.empty() && !moved) moveError = errno;
    if (!moved || !commitSiblingTempFile(placeholder, package.fullPath())) {
        std::string why = moveError != 0 ? std::string(strerror(moveError))
                                         : writeFailureReason(directoryOf(package.fullPath()));
        if (!placeholder.empty()) removeTempFile(placeholder);
        reportError("cannot write %s: %s\n", package.fullPath().c_str(),
                    why.empty() ? "the move into place failed" : why.c_str());
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

std::string workspaceWriteFailure() { return writeFailureReason(workspacePath()); }
