// Applying the entries of one patch: find and verify the old package, apply
// the delta to its tar, then rebuild the new package now or, with -r, queue
// it so that a later patch can continue from its tar.
#include <cstdio>
#include <memory>

#include "apply/apply.h"
#include "delta/delta.h"
#include "driver/options.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "progress/progress.h"
#include "runtime/runtime.h"

namespace {

// The directory of a package that no old-package directory holds.
const char NOT_FOUND_DIR[] = " ";

void endLine(const char* message) {
    printOut("%s\n", message);
    fflush(stdout);
}

// A name from a patch may not leave the directories the user named: no
// empty name, no absolute path, no ".." component.
bool isSafePackageName(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        if (slash == std::string::npos) slash = name.size();
        if (name.compare(start, slash - start, "..") == 0 && slash - start == 2) return false;
        start = slash + 1;
    }
    return true;
}

std::list<std::unique_ptr<PackageInfo>>::iterator findQueued(ApplyRun& run,
                                                              const std::string& fileName) {
    for (auto it = run.rebuildQueue.begin(); it != run.rebuildQueue.end(); ++it)
        if ((*it)->fileName == fileName) return it;
    return run.rebuildQueue.end();
}

// Unpacks and verifies an old package found on disk; false when it is corrupt.
bool prepareSource(PackageInfo& source, uint32_t recordedKind, uint32_t flags) {
    if (flags & FLAG_OLD_MD5_OF_TAR) {
        if (!unpackRecorded(source, recordedKind)) return false;
        return !source.hasMd5 || md5Matches(source.md5, source.tarPath);
    }
    if (source.hasMd5 && !md5Matches(source.md5, source.fullPath())) return false;
    return unpackRecorded(source, recordedKind);
}

void applyEntry(ApplyRun& run, IStream& in, uint16_t version) {
    PatchEntry entry;
    auto source = std::make_unique<PackageInfo>();
    auto target = std::make_unique<PackageInfo>();
    readEntryNames(in, version, entry);
    source->fileName = entry.oldName;
    source->hasMd5 = target->hasMd5 = version == 4;
    source->md5 = entry.oldMd5;
    target->fileName = entry.newName;
    target->md5 = entry.newMd5;
    source->tarPath = newTempName();
    target->tarPath = newTempName();

    readEntryParams(in, entry);
    source->kind = entry.oldKind;
    target->kind = entry.newKind;
    target->params = entry.newParams;
    if (entry.flags & FLAG_GZIP_FIXUP) target->fixupPath = newTempName();
    if (entry.flags & FLAG_PARAM_BLOCK) target->paramBlockPath = newTempName();
    entry.fixupPath = target->fixupPath;
    entry.paramBlockPath = target->paramBlockPath;
    entry.deltaPath = newTempName();
    bool intact = readEntryBlocks(in, entry);
    // Patches before digests were recorded carried a fixup for gzip old
    // packages that is not meant for the rebuild.
    if (version <= 3 && entry.oldKind == KIND_GZIP) target->fixupPath = "";

    auto queued = findQueued(run, source->fileName);
    bool hasQueued = queued != run.rebuildQueue.end();

    printOut("%s -> %s: ", entry.oldName.c_str(), entry.newName.c_str());
    fflush(stdout);
    if (!intact) errorExit("patch is truncated\n");
    if (!isSafePackageName(entry.oldName) || !isSafePackageName(entry.newName))
        return endLine("unsafe package name in patch.");

    source->directory = NOT_FOUND_DIR;
    for (const std::string& dir : options.oldPackageDirs)
        if (fileExists(dir + source->fileName)) source->directory = dir;

    if (options.infoOnly) return endLine("");
    if (!hasQueued && source->directory == NOT_FOUND_DIR)
        return endLine("couldn't find source to patch.");
    if (!options.forceOverwrite && fileExists(target->fullPath()))
        return endLine("patch already applied.");
    if (!findKind(entry.oldKind)) return endLine("Can't uncompress old package.  Upgrade pakrev.");
    if (!findKind(entry.newKind)) return endLine("Can't re-compress package.  Upgrade pakrev.");

    PackageInfo* from = hasQueued ? queued->get() : source.get();
    if (!hasQueued && !prepareSource(*source, entry.oldKind, entry.flags))
        return endLine("previous package is corrupt");

    verbose("applying package delta\n");
    DeltaResult result = applyDelta(from->tarPath, target->tarPath, entry.deltaPath);
    if (result == APPLY_FAILED) return endLine("Error applying patch");
    if (result == APPLY_BAD_FORMAT) {
        reportError("Unknown delta format used.  Try upgrading pakrev\n");
        return;
    }
    removeTempFile(entry.deltaPath);
    removeTempFile(from->tarPath);
    if (options.mergePatches) {
        if (hasQueued) run.rebuildQueue.erase(queued);
        run.rebuildQueue.push_back(std::move(target));
        return endLine("OK");
    }
    if (rebuildPackage(*target)) return endLine("OK");
    run.anyRebuildFailed = true;
    endLine("FAILED");
}

}  // namespace

void applyPatchStream(ApplyRun& run, IStream& in) {
    PatchHeader header;
    HeaderStatus status = readPatchHeader(in, header);
    if (status == HEADER_BAD_MAGIC) errorExit("Invalid patch file");
    if (status == HEADER_TOO_NEW) errorExit("Cannot read package format.  Upgrade pakrev");
    if (header.version == 1)
        errorExit("Old patch.  Can be read by pakrev <= 0.2.1.  Support removed before popuralized.");
    for (uint32_t i = 0; i < header.entryCount; ++i) applyEntry(run, in, header.version);
}

void drainRebuildQueue(ApplyRun& run) {
    while (!run.rebuildQueue.empty()) {
        if (!rebuildPackage(*run.rebuildQueue.front())) run.anyRebuildFailed = true;
        run.rebuildQueue.pop_front();
    }
}
