// The bzip2 release test of -e: which installed bzip2 releases compress the
// new tar into exactly the published package.
#include <cstdio>

#include "delta/delta.h"
#include "driver/driver.h"
#include "make/make.h"
#include "package/package.h"
#include "patchfile/patchfile.h"
#include "runtime/runtime.h"

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
            if (options.verbose)
                printf("bzip2 %s ruled out by a probe\n", bzip2SlotRelease(slot));
        } else {
            if (options.verbose)
                printf("compressing with bzip2 %s (%s)\n", bzip2SlotRelease(slot), program.c_str());
            compressToFile(program, level, newTarPath, scratchPath);
            works = filesIdentical(scratchPath, newPackagePath);
        }
        if (works) {
            if (options.verbose)
                printf("found working bzip2 compression format: %s\n", bzip2SlotRelease(slot));
            bits |= BZIP2_WORKS(slot);
        } else if (options.verbose) {
            printf("bzip2 compression format: %s does not work\n", bzip2SlotRelease(slot));
        }
    }
    return bits;
}
