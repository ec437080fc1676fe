// The make pipeline: unpack both packages, make the delta between the tars,
// work out how the new package was compressed, write the patch into the
// workspace and only then place it under its final name. When the delta of
// the tars is larger than the new package itself, a patch holding a delta
// of the two packages as bytes is made too and the smaller patch kept.
#include <cerrno>
#include <cstdio>
#include <cstring>

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

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// True when both streams hold the same bytes and neither failed.
bool sameBytes(IStream& a, IStream& b) {
    unsigned char x[COPY_BLOCK], y[COPY_BLOCK];
    for (;;) {
        uint32_t got = a.read(x, COPY_BLOCK);
        if (b.read(y, COPY_BLOCK) != got || memcmp(x, y, got) != 0) return false;
        if (got < COPY_BLOCK) return !a.failed() && !b.failed();
    }
}

// True when the written patch file gives back the staging file's bytes.
bool patchReadsBack(const std::string& staging, const std::string& written) {
    IFStream expected(staging);
    if (options.patchCompression == PATCH_BZIP2) {
        BZ_IFStream got(written);
        return got.isOpen() && sameBytes(expected, got);
    }
    if (options.patchCompression == PATCH_GZIP) {
        GZ_IFStream got(written);
        return got.isOpen() && sameBytes(expected, got);
    }
    IFStream got(written);
    return got.isOpen() && sameBytes(expected, got);
}

// Copies or compresses the staging file to a fresh name beside the patch,
// reads it back, and renames it into place. False, with the reason on
// standard error, when the output could not be made.
bool placePatch(const std::string& staging, const std::string& placeholder,
                const std::string& patchName) {
    int status;
    if (options.patchCompression == PATCH_BZIP2)
        status = compressToFile("bzip2", options.compressionLevel, staging, placeholder);
    else if (options.patchCompression == PATCH_GZIP)
        status = compressToFile("gzip", options.compressionLevel, staging, placeholder);
    else
        status = catToFile(staging, placeholder);
    if (status != 0 || fileSize64(placeholder) <= 0 || !patchReadsBack(staging, placeholder)) {
        // Probed while the partial file still holds the space.
        std::string why = writeFailureReason(directoryOf(patchName));
        removeTempFile(placeholder);
        if (!why.empty())
            reportError("cannot write %s: %s\n", patchName.c_str(), why.c_str());
        else if (status != 0)
            reportError("the patch compressor failed\n");
        else
            reportError("the written patch does not read back as made\n");
        return false;
    }
    if (!commitSiblingTempFile(placeholder, patchName)) {
        std::string why = strerror(errno);
        removeTempFile(placeholder);
        reportError("cannot write %s: %s\n", patchName.c_str(), why.c_str());
        return false;
    }
    return true;
}

// Ends the run unless the delta program succeeded and wrote a delta.
void deltaOrExit(int status, const std::string& deltaPath) {
    if (deltaMade(options.useSegdiff, status) && fileSize64(deltaPath) > 0) return;
    std::string why = writeFailureReason(workspacePath());
    if (!why.empty()) errorExit("cannot write into the workspace " + workspacePath() + ": " + why);
    errorExit("cannot make package delta");
}

// Ends the run after an unpack failed: with the workspace's reason when it
// cannot be written, else with the given message.
[[noreturn]] void unpackFailed(const char* message) {
    std::string why = writeFailureReason(workspacePath());
    if (!why.empty()) errorExit("cannot write into the workspace " + workspacePath() + ": " + why);
    errorExit(message);
}

// Writes the patch header and one entry into a fresh workspace file.
std::string writeStaging(const PatchEntry& entry) {
    std::string staging = newTempName();
    OFStream out(staging);
    if (!out.isOpen()) errorExit("cannot write the patch into the workspace");
    writePatchHeader(out);
    bool written = writePatchEntry(out, entry);
    if (!out.close() || !written) errorExit("cannot write the patch into the workspace");
    return staging;
}

// The size of the staging file as placed: compressed as the options ask.
// -1 when the compressor failed.
int64_t placedSize(const std::string& staging) {
    if (options.patchCompression != PATCH_BZIP2 && options.patchCompression != PATCH_GZIP)
        return fileSize64(staging);
    std::string compressed = newTempName();
    int status = compressToFile(options.patchCompression == PATCH_BZIP2 ? "bzip2" : "gzip",
                                options.compressionLevel, staging, compressed);
    int64_t size = status == 0 ? fileSize64(compressed) : -1;
    removeTempFile(compressed);
    return size;
}

// The entry of `entry`'s packages as opaque bytes, as the kinds write it
// when no setting reproduces a package: both packages as plain tars, their
// own digests, no fixup and no parameter block. Empty when its delta could
// not be made.
std::string opaqueStaging(const PackageInfo& oldPackage, const PackageInfo& newPackage,
                          PatchEntry entry) {
    std::string deltaPath = newTempName();
    verbose("Making package delta of the compressed files\n");
    if (!deltaMade(options.useSegdiff, makeDelta(options.useSegdiff, oldPackage.fullPath(),
                                                 newPackage.fullPath(), deltaPath)) ||
        fileSize64(deltaPath) <= 0 || static_cast<uint64_t>(fileSize64(deltaPath)) > PATCH_BLOCK_MAX) {
        removeTempFile(deltaPath);
        return "";
    }
    entry.oldKind = KIND_TAR;
    entry.oldMd5 = md5OfFile(oldPackage.fullPath());
    entry.newKind = KIND_TAR;
    entry.newParams = 0;
    entry.flags = FLAG_OLD_MD5_OF_TAR;
    entry.deltaPath = deltaPath;
    entry.fixupPath.clear();
    entry.paramBlockPath.clear();
    std::string staging = writeStaging(entry);
    removeTempFile(deltaPath);
    return staging;
}

const char FIRST_UNPACK_FAILED[] =
    "Cannot read first input file.  Error encountered during decompression";
const char SECOND_UNPACK_FAILED[] =
    "Cannot read second input file.  Error encountered during decompression";

// Unpacks a package into its tarPath (named already) and takes the digest
// the patch records for it: of the tar for the old package, of the package
// file itself for the new one.
bool unpackAndDigest(PackageInfo& package, bool digestOfTar) {
    if (!unpackPackage(package.fullPath(), package.tarPath, package.kind)) return false;
    package.md5 = md5OfFile(digestOfTar ? package.tarPath : package.fullPath());
    return true;
}

// Unpacks both packages and takes their digests: one after the other with
// -T 1, else both at the same time. Either way the old package's failure is
// the one reported when both fail, and the names are taken in the same
// order.
void unpackBoth(PackageInfo& oldPackage, PackageInfo& newPackage) {
    oldPackage.tarPath = newTempName();
    newPackage.tarPath = newTempName();
    if (workThreads() < 2) {
        if (!unpackAndDigest(oldPackage, true)) unpackFailed(FIRST_UNPACK_FAILED);
        if (!unpackAndDigest(newPackage, false)) unpackFailed(SECOND_UNPACK_FAILED);
        return;
    }
    ParallelWork work;
    work.start([&] { return unpackAndDigest(oldPackage, true); });
    work.start([&] { return unpackAndDigest(newPackage, false); });
    if (!showUnpacking(oldPackage.fullPath(), [&] { return work.finish(0); })) {
        work.stopAfter(0);
        unpackFailed(FIRST_UNPACK_FAILED);
    }
    if (!showUnpacking(newPackage.fullPath(), [&] { return work.finish(1); }))
        unpackFailed(SECOND_UNPACK_FAILED);
}

// Makes the main delta, then works out how the new package was compressed:
// with -T 1 one after the other; else at the same time, the delta's failure
// (or its size past the format) being the one that ends the run when both
// fail. Only the characterisation takes workspace names, and the delta
// none, so their order is the same either way.
void deltaBesideCharacterisation(const PackageInfo& oldPackage, const PackageInfo& newPackage,
                                 const std::string& deltaPath, const std::string& fixupPath,
                                 Characterisation& made) {
    auto characterise = [&] {
        verbose("Ensuring MD5sum will be correct\n");
        findKind(newPackage.kind)->characterise(newPackage, fixupPath, made);
        return true;
    };
    auto makeMainDelta = [&] {
        return makeDelta(options.useSegdiff, oldPackage.tarPath, newPackage.tarPath, deltaPath);
    };
    if (workThreads() < 2) {
        deltaOrExit(makeMainDelta(), deltaPath);
        checkFitsFormat(deltaPath);
        removeTempFile(oldPackage.tarPath);
        characterise();
        return;
    }
    int deltaStatus = -1;
    ParallelWork work;
    work.start([&] {
        deltaStatus = makeMainDelta();
        return true;
    });
    // The compression search shows its steps: it is mostly the longer one.
    work.start(characterise, true);
    work.finish(0);
    deltaOrExit(deltaStatus, deltaPath);
    checkFitsFormat(deltaPath);
    removeTempFile(oldPackage.tarPath);
    work.finish(1);
}

}  // namespace

bool makePatch(const std::string& oldName, const std::string& newName,
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

    unpackBoth(oldPackage, newPackage);

    verbose("Making package delta\n");
    Characterisation made;
    deltaBesideCharacterisation(oldPackage, newPackage, deltaPath, fixupPath, made);
    if (made.kind == KIND_TAR && newPackage.kind != KIND_TAR) {
        // No setting reproduces the package: both travel as their
        // compressed bytes, so the rebuild needs no encoder.
        oldPackage.kind = KIND_TAR;
        oldPackage.md5 = md5OfFile(oldPackage.fullPath());
        deltaOrExit(
            makeDelta(options.useSegdiff, oldPackage.fullPath(), newPackage.fullPath(), deltaPath),
            deltaPath);
        checkFitsFormat(deltaPath);
    }
    // Only a package the kind rebuilds has a second way to travel.
    bool tryOpaque = made.kind != KIND_TAR &&
                     fileSize64(deltaPath) > fileSize64(newPackage.fullPath());
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

    std::string staging = writeStaging(entry);
    removeTempFile(deltaPath);
    if (hasFixup) removeTempFile(made.fixupPath);
    if (hasParamBlock) removeTempFile(made.paramBlockPath);

    if (tryOpaque) {
        // Taken after every other workspace name, so a patch that keeps the
        // delta of the tars is the same bytes as without this step.
        std::string opaque = opaqueStaging(oldPackage, newPackage, entry);
        if (!opaque.empty()) {
            int64_t opaqueSize = placedSize(opaque), tarSize = placedSize(staging);
            if (opaqueSize > 0 && tarSize > 0 && opaqueSize < tarSize) {
                reportError("the delta of the tars is larger than the package: the patch "
                            "holds a delta of the compressed files\n");
                removeTempFile(staging);
                staging = opaque;
            } else {
                removeTempFile(opaque);
            }
        }
    }

    bool placed = placePatch(staging, placeholder, patchName);
    removeTempFile(staging);

    if (placed && fileExists(patchName)) {
        verbose("All done\n");
        printOut("Patch is %f times smaller.\n", static_cast<double>(fileSize(newPackage.fullPath())) /
                                                   static_cast<double>(fileSize(patchName)));
        return true;
    }
    reportError("Couldn't output patch\n");
    return false;
}
