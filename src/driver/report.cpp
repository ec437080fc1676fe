// The fatal path and the two output helpers.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "driver/options.h"
#include "progress/progress.h"
#include "runtime/runtime.h"

void errorExit(const std::string& message) {
    if (outputHeld()) throw FatalInWork{message};
    stopAllParallelWork(message);
    fflush(stdout);
    stopProgress();
    fprintf(stderr, "error: %s\n", message.c_str());
    exit(1);
}

void quietExit(int status) {
    if (outputHeld()) throw FatalInWork{"", true, status};
    stopAllParallelWork("");
    exit(status);
}

void verbose(const char* format, ...) {
    if (!options.verbose) return;
    va_list args;
    va_start(args, format);
    vprintTo(stdout, format, args);
    va_end(args);
}

void reportError(const char* format, ...) {
    fflush(stdout);
    va_list args;
    va_start(args, format);
    vprintTo(stderr, format, args);
    va_end(args);
}
