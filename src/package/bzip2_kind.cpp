// The bzip2 kinds: the block size and which installed bzip2 releases
// reproduce the package; and bzip2_old, recompressed by its own program.
#include "bzip2/bzip2.h"
#include "delta/delta.h"
#include "driver/options.h"
#include "package/kinds.h"
#include "progress/progress.h"
#include "runtime/runtime.h"

namespace {

const char BZIP2_OLD_PROGRAM[] = "bzip2_old";

bool digestOk(const PackageInfo& package, const std::string& path) {
    return !package.hasMd5 || md5Matches(package.md5, path);
}

// Compresses with the release of the slot: through the linked libbz2 on
// several threads when that library is this release and -T allows more than
// one thread (the program again when that result misses the digest), else
// with the slot's program. True when the output matches the digest.
bool compressWithRelease(const PackageInfo& package, int slot, char level,
                         const std::string& output) {
    unsigned threads = workThreads();
    if (threads > 1 && libbz2Release() == bzip2SlotRelease(slot) &&
        parallelBzip2File(package.tarPath, output, level - '0', threads) &&
        digestOk(package, output))
        return true;
    return compressToFile(bzip2SlotPath(slot), level, package.tarPath, output) == 0 &&
           digestOk(package, output);
}

}  // namespace

bool decompressBzip2(const std::string& package, const std::string& tar) {
    return filterToFile("bunzip2", package, tar) == 0;
}

uint32_t testBzip2Releases(const std::string& newTarPath, const std::string& newPackagePath,
                           int blockSize, const std::string& scratchPath) {
    uint32_t bits = 0;
    char level = static_cast<char>('0' + blockSize);
    for (int slot = 0; slot < BZIP2_SLOT_COUNT; ++slot) {
        const std::string& program = bzip2SlotPath(slot);
        if (program.empty()) continue;
        bits |= BZIP2_TESTED(slot);
        bool works = false;
        if (bzip2ProbeRulesOut(program, blockSize, newTarPath, newPackagePath)) {
            verbose("bzip2 %s ruled out by a probe\n", bzip2SlotRelease(slot));
        } else {
            verbose("compressing with bzip2 %s (%s)\n", bzip2SlotRelease(slot), program.c_str());
            ProgressStep attempt(std::string("bzip2 ") + bzip2SlotRelease(slot), readingOf(newTarPath));
            compressToFile(program, level, newTarPath, scratchPath);
            works = filesIdentical(scratchPath, newPackagePath);
        }
        if (works) {
            verbose("found working bzip2 compression format: %s\n", bzip2SlotRelease(slot));
            bits |= BZIP2_WORKS(slot);
        } else {
            verbose("bzip2 compression format: %s does not work\n", bzip2SlotRelease(slot));
        }
    }
    return bits;
}

void characteriseBzip2(const PackageInfo& newPackage, const std::string&, Characterisation& out) {
    out = Characterisation{};
    out.kind = KIND_BZIP2;
    int blockSize = bzip2LevelDigit(newPackage.fullPath());
    uint32_t releaseBits = 0;
    if (options.ensureMd5) {
        discoverBzip2();
        std::string scratch = newTempName();
        releaseBits = testBzip2Releases(newPackage.tarPath, newPackage.fullPath(), blockSize,
                                        scratch);
        removeTempFile(scratch);
    }
    out.params = bzip2Params(blockSize, releaseBits);
}

// The release recorded as working is tried first; then every release the
// maker did not test, newest first, until one matches the digest.
bool recompressBzip2(const PackageInfo& package, const std::string& output) {
    char level = paramsLevelDigit(package.params);
    discoverBzip2();
    bool tried[BZIP2_SLOT_COUNT] = {};
    for (int slot = BZIP2_SLOT_COUNT - 1; slot >= 0; --slot) {
        const std::string& program = bzip2SlotPath(slot);
        if (!(package.params & BZIP2_WORKS(slot)) || program.empty()) continue;
        verbose("using working compression format: %s\n", bzip2SlotRelease(slot));
        if (compressWithRelease(package, slot, level, output)) {
            verbose("found compatible bzip2 compressor: %s\n", program.c_str());
            return true;
        }
        tried[slot] = true;
        break;
    }
    for (int slot = BZIP2_SLOT_COUNT - 1; slot >= 0; --slot) {
        const std::string& program = bzip2SlotPath(slot);
        if ((package.params & BZIP2_TESTED(slot)) || program.empty() || tried[slot]) continue;
        verbose("trying to use %s for recompression\n", program.c_str());
        if (compressWithRelease(package, slot, level, output)) {
            verbose("found compatible bzip2 compressor: %s\n", program.c_str());
            return true;
        }
    }
    reportError("Error: Pakrev cannot find the proper bzip2 to rebuild the package\n");
    return false;
}

bool recompressBzip2Old(const PackageInfo& package, const std::string& output) {
    char level = paramsLevelDigit(package.params);
    verbose("compressing with %s -%c\n", BZIP2_OLD_PROGRAM, level);
    if (compressToFile(BZIP2_OLD_PROGRAM, level, package.tarPath, output) == 0) return true;
    reportError("%s could not compress %s\n", BZIP2_OLD_PROGRAM, package.fullPath().c_str());
    return false;
}
