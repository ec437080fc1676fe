// Applying the entries of one patch: find and verify the old package, apply
// the delta to its tar, then rebuild the new package now or, with -r, queue
// it so that a later patch can continue from its tar.
#include <cstdio>
#include <cstring>
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

enum SourceStatus { SOURCE_OK, SOURCE_CORRUPT, SOURCE_UNPACK_FAILED };

// Unpacks and verifies an old package found on disk, into the tarPath it
// has when `named`, else into a fresh workspace name.
SourceStatus prepareSource(PackageInfo& source, uint32_t recordedKind, uint32_t flags,
                           bool named) {
    auto unpackSource = [&] {
        if (!named) source.tarPath = newTempName();
        return unpackRecordedInto(source, recordedKind);
    };
    if (flags & FLAG_OLD_MD5_OF_TAR) {
        if (!unpackSource()) return SOURCE_UNPACK_FAILED;
        return !source.hasMd5 || md5Matches(source.md5, source.tarPath) ? SOURCE_OK
                                                                         : SOURCE_CORRUPT;
    }
    if (source.hasMd5 && !md5Matches(source.md5, source.fullPath())) return SOURCE_CORRUPT;
    return unpackSource() ? SOURCE_OK : SOURCE_UNPACK_FAILED;
}

// Reads the entry's blocks into their workspace files; after the last entry
// reads on, so that a compressed stream checks its trailer.
BlockStatus readBlocks(IStream& in, PatchEntry& entry, int& writeError, bool last) {
    BlockStatus blocks = readEntryBlocks(in, entry, writeError);
    if (blocks == BLOCKS_OK && last) {
        // Bytes after the patch are ignored as always.
        unsigned char probe;
        in.read(&probe, 1);
        if (in.failed()) blocks = BLOCKS_TRUNCATED;
    }
    return blocks;
}

// Removes the workspace files of a record taken out of the rebuild queue
// without being rebuilt.
void discardQueued(PackageInfo& package) {
    if (!package.tarPath.empty()) removeTempFile(package.tarPath);
    if (!package.fixupPath.empty()) removeTempFile(package.fixupPath);
    if (!package.paramBlockPath.empty()) removeTempFile(package.paramBlockPath);
}

// Ends the entry's line with a text that means its package was not made.
void endFailed(ApplyRun& run, const char* message) {
    run.anyFailed = true;
    endLine(message);
}

// After a step failed: when the workspace is full or cannot be written,
// that is the reason (on standard error, the line ends "FAILED");
// otherwise the step's own message ends the line.
void endStepFailed(ApplyRun& run, const char* message) {
    std::string full = workspaceWriteFailure();
    if (full.empty()) return endFailed(run, message);
    reportError("cannot write into the workspace %s: %s\n", workspacePath().c_str(), full.c_str());
    endFailed(run, "FAILED");
}

void applyEntry(ApplyRun& run, IStream& in, uint16_t version, bool last) {
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

    auto queued = findQueued(run, source->fileName);
    bool hasQueued = queued != run.rebuildQueue.end();
    source->directory = NOT_FOUND_DIR;
    for (const std::string& dir : options.oldPackageDirs)
        if (fileExists(dir + source->fileName)) source->directory = dir;
    // The old package is unpacked while the blocks are read when the
    // checks below will let it be unpacked at all.
    bool early = workThreads() > 1 && !hasQueued && !options.infoOnly &&
                 isSafePackageName(entry.oldName) && isSafePackageName(entry.newName) &&
                 source->directory != NOT_FOUND_DIR &&
                 (options.forceOverwrite || !fileExists(target->fullPath())) &&
                 findKind(entry.oldKind) && findKind(entry.newKind);
    int writeError = 0;
    BlockStatus blocks = BLOCKS_OK;
    SourceStatus prepared = SOURCE_OK;
    ParallelWork work;
    if (early) {
        // The name the sequential unpacking takes after the blocks.
        source->tarPath = newTempName();
        work.start([&] {
            blocks = readBlocks(in, entry, writeError, last);
            return true;
        });
        work.start([&] {
            prepared = prepareSource(*source, entry.oldKind, entry.flags, true);
            return true;
        });
        work.finish(0);
    } else {
        blocks = readBlocks(in, entry, writeError, last);
    }
    // Patches before digests were recorded carried a fixup for gzip old
    // packages that is not meant for the rebuild.
    if (version <= 3 && entry.oldKind == KIND_GZIP) target->fixupPath = "";

    printOut("%s -> %s: ", entry.oldName.c_str(), entry.newName.c_str());
    fflush(stdout);
    if (blocks != BLOCKS_OK) {
        endFailed(run, "FAILED");
        if (blocks == BLOCKS_WRITE_FAILED)
            errorExit("cannot write into the workspace " + workspacePath() + ": " +
                      strerror(writeError));
        errorExit("patch is truncated");
    }
    if (!isSafePackageName(entry.oldName) || !isSafePackageName(entry.newName))
        return endFailed(run, "unsafe package name in patch.");

    if (options.infoOnly) return endLine("");
    // Under -r a chain goes on from the queued package whatever this entry
    // ends with: that package is an intermediate one and is never written.
    std::unique_ptr<PackageInfo> from;
    if (hasQueued) {
        from = std::move(*queued);
        run.rebuildQueue.erase(queued);
    }
    struct Discard {
        std::unique_ptr<PackageInfo>& record;
        ~Discard() {
            if (record) discardQueued(*record);
        }
    } discardFrom{from};

    if (!hasQueued && source->directory == NOT_FOUND_DIR)
        return endFailed(run, "couldn't find source to patch.");
    if (!options.forceOverwrite && fileExists(target->fullPath()))
        return endLine("patch already applied.");
    if (!findKind(entry.oldKind))
        return endFailed(run, "Can't uncompress old package.  Upgrade pakrev.");
    if (!findKind(entry.newKind)) return endFailed(run, "Can't re-compress package.  Upgrade pakrev.");

    if (!hasQueued) {
        if (early)
            showUnpacking(source->fullPath(), [&] { return work.finish(1); });
        else
            prepared = prepareSource(*source, entry.oldKind, entry.flags, false);
        if (prepared == SOURCE_CORRUPT) return endFailed(run, "previous package is corrupt");
        if (prepared == SOURCE_UNPACK_FAILED)
            return endStepFailed(run, "previous package is corrupt");
    }
    std::string fromTar = hasQueued ? from->tarPath : source->tarPath;

    verbose("applying package delta\n");
    DeltaResult result = applyDelta(fromTar, target->tarPath, entry.deltaPath);
    if (result == APPLY_FAILED) return endStepFailed(run, "Error applying patch");
    if (result == APPLY_BAD_FORMAT) {
        reportError("Unknown delta format used.  Try upgrading pakrev\n");
        return endFailed(run, "FAILED");
    }
    removeTempFile(entry.deltaPath);
    removeTempFile(fromTar);
    if (from) from->tarPath.clear();
    if (options.mergePatches) {
        run.rebuildQueue.push_back(std::move(target));
        return endLine("queued");
    }
    if (rebuildPackage(*target)) return endLine("OK");
    endFailed(run, "FAILED");
}

}  // namespace

void applyPatchStream(ApplyRun& run, IStream& in) {
    PatchHeader header;
    HeaderStatus status = readPatchHeader(in, header);
    if (status == HEADER_BAD_MAGIC) errorExit("Invalid patch file");
    if (status == HEADER_TOO_NEW) errorExit("Cannot read package format.  Upgrade pakrev");
    if (status == HEADER_TRUNCATED) errorExit("patch is truncated");
    if (header.version == 1)
        errorExit("Old patch.  Can be read by pakrev <= 0.2.1.  Support removed before popuralized.");
    for (uint32_t i = 0; i < header.entryCount; ++i)
        applyEntry(run, in, header.version, i + 1 == header.entryCount);
    if (header.entryCount == 0) {
        unsigned char probe;
        in.read(&probe, 1);
        if (in.failed()) errorExit("patch is truncated");
    }
}

void drainRebuildQueue(ApplyRun& run) {
    while (!run.rebuildQueue.empty()) {
        std::unique_ptr<PackageInfo> package = std::move(run.rebuildQueue.front());
        run.rebuildQueue.pop_front();
        bool placed = rebuildPackage(*package);
        if (!placed) {
            run.anyFailed = true;
            reportError("cannot rebuild %s\n", package->fullPath().c_str());
        }
        printOut("%s: %s\n", package->fullPath().c_str(), placed ? "OK" : "FAILED");
    }
}
