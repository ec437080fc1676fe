// Mode dispatch: make one patch, or apply patch files and then rebuild the
// packages whose rebuild was deferred.
#include "apply/apply.h"
#include "driver/driver.h"
#include "make/make.h"
#include "package/package.h"
#include "progress/progress.h"

int runDriver(int argc, char** argv) {
    RunMode mode = parseArguments(argc, argv);
    setupProgressLine(!options.quiet);
    ApplyRun run;
    switch (mode) {
        case MODE_MAKE:
            if (fileArgs.size() != 3) printUsage();
            return makePatch(fileArgs[0], fileArgs[1], fileArgs[2]) ? 0 : 1;
        case MODE_APPLY:
            for (const std::string& patch : fileArgs) applyPatchFile(run, patch);
            drainRebuildQueue(run);
            break;
        case MODE_NONE:
            printUsage();
    }
    return run.anyFailed ? 1 : 0;
}
