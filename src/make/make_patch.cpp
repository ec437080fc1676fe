// The make pipeline: unpack both packages, make the delta between the tars,
// work out how the new package was compressed, write the patch into the
// workspace and only then place it under its final name.
#include <cstdio>

#include "delta/delta.h"
#include "driver/options.h"
#include "make/make.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "progress/progress.h"
#include "runtime/runtime.h"
#include "stream/stream.h"

namespace {

void checkFitsFormat(const std::string& path) {
    int64_t size = fileSize64(path);
    if (size >= 0 && static_cast<uint64_t>(size) > PATCH_BLOCK_MAX)
        errorExit("package too large for the patch format");
}

// Copies or compresses the staging file to a fresh name beside the patch and
// renames it into place. False when the output could not be made.
bool placePatch(const std::string& staging, const std::string& placeholder,
                const std::string& patchName) {
    int status;
    if (options.patchCompression == PATCH_BZIP2)
        status = compressToFile("bzip2", options.compressionLevel, staging, placeholder);
    else if (options.patchCompression == PATCH_GZIP)
        status = compressToFile("gzip", options.compressionLevel, staging, placeholder);
    else
        status = catToFile(staging, placeholder);
    if (status != 0 || fileSize64(placeholder) <= 0) {
        removeTempFile(placeholder);
        return false;
    }
    if (!commitSiblingTempFile(placeholder, patchName)) {
        removeTempFile(placeholder);
        return false;
    }
    return true;
}

}  // namespace

void makePatch(const std::string& oldName, const std::string& newName,
               const std::string& patchName) {
    if (options.oldPackageDirs.size() != 1) errorExit("multiple dirs not supported with the -m option");
    if (oldName.find('/') != std::string::npos || newName.find('/') != std::string::npos)
        printOut("Warning: don't prefix packages with a path.  Use the -d and -D options\n");

    PackageInfo oldPackage, newPackage;
    oldPackage.directory = options.oldPackageDirs.front();
    oldPackage.fileName = oldName;
    newPackage.directory = options.newPackageDir;
    newPackage.fileName = newName;

    if (!options.forceOverwrite && fileExists(patchName)) errorExit("output file already exists");
    // The patch is finished under a fresh name beside its final one; making
    // that name now proves the destination is writable. An existing patch
    // stays untouched until the new one replaces it whole.
    std::string placeholder = newSiblingTempFile(patchName);
    if (placeholder.empty()) errorExit("Access denied to output file");

    verbose("Looking at package contents\n");
    std::string deltaPath = newTempName();
    std::string fixupPath = newTempName();

    if (!fileExists(oldPackage.fullPath())) errorExit("cannot access first input file");
    if (!fileExists(newPackage.fullPath())) errorExit("cannot access second input file");
    checkFitsFormat(newPackage.fullPath());

    if (!unpack(oldPackage))
        errorExit("Cannot read first input file.  Error encountered during decompression");
    if (!unpack(newPackage))
        errorExit("Cannot read second input file.  Error encountered during decompression");

    oldPackage.md5 = md5OfFile(oldPackage.tarPath);
    newPackage.md5 = md5OfFile(newPackage.fullPath());

    verbose("Making package delta\n");
    makeDelta(options.useSegdiff, oldPackage.tarPath, newPackage.tarPath, deltaPath);
    if (fileSize64(deltaPath) <= 0) errorExit("cannot make package delta");
    checkFitsFormat(deltaPath);
    removeTempFile(oldPackage.tarPath);

    verbose("Ensuring MD5sum will be correct\n");
    Characterisation made;
    findKind(newPackage.kind)->characterise(newPackage, fixupPath, made);
    if (made.kind == KIND_TAR && newPackage.kind != KIND_TAR) {
        // No setting reproduces the package: both travel as their
        // compressed bytes, so the rebuild needs no encoder.
        oldPackage.kind = KIND_TAR;
        oldPackage.md5 = md5OfFile(oldPackage.fullPath());
        makeDelta(options.useSegdiff, oldPackage.fullPath(), newPackage.fullPath(), deltaPath);
        if (fileSize64(deltaPath) <= 0) errorExit("cannot make package delta");
        checkFitsFormat(deltaPath);
    }
    bool hasFixup = !made.fixupPath.empty();
    bool hasParamBlock = !made.paramBlockPath.empty();
    if (hasFixup) checkFitsFormat(made.fixupPath);
    if (hasParamBlock) checkFitsFormat(made.paramBlockPath);
    removeTempFile(newPackage.tarPath);

    verbose("Output package to: %s\n", patchName.c_str());
    PatchEntry entry;
    entry.oldName = oldName;
    entry.oldMd5 = oldPackage.md5;
    entry.newName = newName;
    entry.newMd5 = newPackage.md5;
    entry.oldKind = static_cast<uint16_t>(oldPackage.kind);
    entry.newKind = static_cast<uint16_t>(made.kind);
    entry.newParams = made.params;
    entry.flags = FLAG_OLD_MD5_OF_TAR | (hasFixup ? FLAG_GZIP_FIXUP : 0) |
                  (hasParamBlock ? FLAG_PARAM_BLOCK : 0);
    entry.deltaPath = deltaPath;
    entry.fixupPath = made.fixupPath;
    entry.paramBlockPath = made.paramBlockPath;

    std::string staging = newTempName();
    {
        OFStream out(staging);
        if (!out.isOpen()) errorExit("cannot write the patch into the workspace");
        writePatchHeader(out);
        bool written = writePatchEntry(out, entry);
        if (!out.close() || !written) errorExit("cannot write the patch into the workspace");
    }
    removeTempFile(deltaPath);
    if (hasFixup) removeTempFile(made.fixupPath);
    if (hasParamBlock) removeTempFile(made.paramBlockPath);

    bool placed = placePatch(staging, placeholder, patchName);
    removeTempFile(staging);

    if (placed && fileExists(patchName)) {
        verbose("All done\n");
        printOut("Patch is %f times smaller.\n", static_cast<double>(fileSize(newPackage.fullPath())) /
                                                   static_cast<double>(fileSize(patchName)));
    } else {
        reportError("Couldn't output patch\n");
    }
}
