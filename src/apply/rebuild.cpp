// Rebuilding a new package from its patched tar: recompress as recorded,
// repair with the fixup delta, verify against the published digest, and only
// then move the result into place, atomically.
#include <cstdio>

#include "apply/apply.h"
#include "delta/delta.h"
#include "driver/driver.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "runtime/runtime.h"

namespace {

const char BZIP2_OLD_PROGRAM[] = "bzip2_old";

void report(const char* message) {
    fflush(stdout);
    fputs(message, stderr);
}

bool digestOk(const PackageInfo& package, const std::string& path) {
    return !package.hasMd5 || md5Matches(package.md5, path);
}

// Compresses the tar with a bzip2 release that reproduces the package. The
// release recorded as working is tried first; then every release the maker
// did not test, newest first, until one matches the digest.
bool recompressBzip2(const PackageInfo& package, char level, const std::string& output) {
    discoverBzip2();
    bool tried[BZIP2_SLOT_COUNT] = {};
    for (int slot = BZIP2_SLOT_COUNT - 1; slot >= 0; --slot) {
        const std::string& program = bzip2SlotPath(slot);
        if (!(package.params & BZIP2_WORKS(slot)) || program.empty()) continue;
        if (options.verbose) printf("using working compression format: %s\n", bzip2SlotRelease(slot));
        compressToFile(program, level, package.tarPath, output);
        if (digestOk(package, output)) {
            if (options.verbose) printf("found compatible bzip2 compressor: %s\n", program.c_str());
            return true;
        }
        tried[slot] = true;
        break;
    }
    for (int slot = BZIP2_SLOT_COUNT - 1; slot >= 0; --slot) {
        const std::string& program = bzip2SlotPath(slot);
        if ((package.params & BZIP2_TESTED(slot)) || program.empty() || tried[slot]) continue;
        if (options.verbose) printf("trying to use %s for recompression\n", program.c_str());
        compressToFile(program, level, package.tarPath, output);
        if (digestOk(package, output)) {
            if (options.verbose) printf("found compatible bzip2 compressor: %s\n", program.c_str());
            return true;
        }
    }
    report("Error: Pakrev cannot find the proper bzip2 to rebuild the package\n");
    return false;
}

// Builds the finished package into `result` (a workspace file). False, with
// the reason printed, when it cannot be built or does not verify.
bool buildPackage(const PackageInfo& package, const std::string& result) {
    char level = static_cast<char>((package.params & 0xF) | 0x30);
    std::string recompressed = package.fixupPath.empty() ? result : newTempName();
    switch (package.kind) {
        case KIND_TAR:
            catToFile(package.tarPath, recompressed);
            break;
        case KIND_GZIP:
            if (options.verbose) printf("compressing with gzip level %c\n", level);
            if (!recompressGzipHeaderless(package.tarPath, recompressed, level))
                errorExit("Can't find GNU gzip");
            break;
        case KIND_BZIP2_OLD:
            if (options.verbose) printf("compressing with %s -%c\n", BZIP2_OLD_PROGRAM, level);
            compressToFile(BZIP2_OLD_PROGRAM, level, package.tarPath, recompressed);
            break;
        case KIND_BZIP2:
            if (!recompressBzip2(package, level, recompressed)) return false;
            break;
        default:
            return false;
    }
    if (!package.fixupPath.empty()) {
        if (options.verbose) printf("applying fixup delta\n");
        DeltaResult applied = applyDelta(recompressed, result, package.fixupPath);
        removeTempFile(recompressed);
        if (applied == APPLY_FAILED) {
            fflush(stdout);
            fprintf(stderr, "permission denied on file: %s\n", package.fullPath().c_str());
            return false;
        }
        if (applied == APPLY_BAD_FORMAT) {
            report("Unknown delta format.  Try upgrading pakrev\n");
            return false;
        }
    }
    if (!digestOk(package, result)) {
        report("MD5 check failed!!!\n");
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
        report("Access denied\n");
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
