// The gzip level search: the first level, in a fixed order, whose headerless
// recompression turns into the published package with a small fixup delta.
#include <cstdio>

#include "delta/delta.h"
#include "driver/options.h"
#include "package/package.h"
#include "progress/progress.h"
#include "runtime/runtime.h"
#include "stream/stream.h"

int findGzipLevel(const std::string& newTarPath, const std::string& newPackagePath,
                  const std::string& scratchPath, const std::string& fixupPath, bool useSegdiff) {
    int level = searchGzipLevel(newTarPath, newPackagePath, scratchPath, fixupPath, useSegdiff);
    if (level == 0) errorExit("Unknown gzip compression format");
    return level;
}

int searchGzipLevel(const std::string& newTarPath, const std::string& newPackagePath,
                    const std::string& scratchPath, const std::string& fixupPath,
                    bool useSegdiff) {
    for (const char* level = GZIP_LEVEL_ORDER; *level; ++level) {
        if (gzipProbeRulesOut(newTarPath, newPackagePath, *level, useSegdiff)) {
            verbose("gzip level %c ruled out by a probe\n", *level);
            continue;
        }
        verbose("compressing with gzip level %c\n", *level);
        if (ProgressStep attempt(std::string("gzip -") + *level, readingOf(newTarPath));
            !recompressGzipHeaderless(newTarPath, scratchPath, *level))
            errorExit("Can't find GNU gzip");
        // Gzip data is never empty: an empty recompression means gzip failed.
        if (fileSize(scratchPath) == 0) continue;
        // Only a fixup that the delta tool wrote for this level counts, not
        // one left over from an earlier attempt.
        removeFile(fixupPath);
        verbose("making fixup delta for gzip level %c\n", *level);
        makeDelta(useSegdiff, scratchPath, newPackagePath, fixupPath, "fixup");
        int64_t fixupLength = fileSize64(fixupPath);
        if (fixupLength > 0 && fixupLength <= static_cast<int64_t>(FIXUP_LIMIT)) {
            removeTempFile(scratchPath);
            return *level - '0';
        }
    }
    removeTempFile(scratchPath);
    return 0;
}
