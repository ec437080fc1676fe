// Command lines of the external delta programs and of the file comparison.
#include <sys/wait.h>

#include "delta/delta.h"
#include "progress/progress.h"
#include "runtime/runtime.h"
#include "stream/stream.h"

int makeDelta(bool useSegdiff, const std::string& oldPath, const std::string& newPath,
              const std::string& deltaPath, const char* stepName) {
    // Both programs map their inputs: the old file is indexed, then the new
    // one walked.
    ProgressStep step(stepName, readingOf(std::vector<std::string>{oldPath, newPath}));
    std::string files = shellPath(oldPath) + " " + shellPath(newPath) + " " + shellPath(deltaPath);
    if (useSegdiff) return runCommand("segdiff", files);
    return runCommand("xdelta", "delta -0 --pristine " + files + " 2> /dev/null");
}

bool deltaMade(bool useSegdiff, int status) {
    if (status == -1 || !WIFEXITED(status)) return false;
    return WEXITSTATUS(status) == 0 || (!useSegdiff && WEXITSTATUS(status) == 1);
}

DeltaResult applyDelta(const std::string& referencePath, const std::string& outputPath,
                       const std::string& deltaPath, const char* stepName) {
    FileKind kind = sniffFile(deltaPath);
    int64_t referenceSize = fileSize64(referencePath);
    ProgressStep step(stepName,
                      writingOf(outputPath, referenceSize > 0 ? static_cast<uint64_t>(referenceSize) : 0));
    if (kind == FILE_SEGDIFF)
        return applySegdiffPatch(referencePath, outputPath, deltaPath) == 0 ? APPLY_OK
                                                                            : APPLY_FAILED;
    if (kind != FILE_XDELTA) return APPLY_BAD_FORMAT;
    int status = runCommand("xdelta", "patch --pristine " + shellPath(deltaPath) + " " +
                                          shellPath(referencePath) + " " +
                                          shellPath(outputPath));
    return status == 0 ? APPLY_OK : APPLY_FAILED;
}

bool filesIdentical(const std::string& first, const std::string& second) {
    return runCommand("cmp", shellPath(first) + " " + shellPath(second) + " > /dev/null") == 0;
}
