// The ground of every pipeline: the process-wide option record, the fatal
// path and the two ways of talking to the user (verbose progress lines and
// error reports). Lower subsystems include this header, never driver.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum PatchCompression : int32_t { PATCH_PLAIN = 0, PATCH_BZIP2 = 1, PATCH_GZIP = 2 };

// Written once by parseArguments, read directly by every pipeline.
struct Options {
    bool verbose = false;          // -v
    bool quiet = false;            // -q: no progress line
    bool forceOverwrite = false;   // -f
    bool ensureMd5 = false;        // -e
    bool useSegdiff = false;       // -j
    bool infoOnly = false;         // -i
    bool mergePatches = false;     // -r
    PatchCompression patchCompression = PATCH_PLAIN;  // -b / -g
    char compressionLevel = '0';   // the digit after -b/-g; '0' = none given
    std::string newPackageDir;     // -d, as a prefix ending in "/" or empty
    std::vector<std::string> oldPackageDirs;  // -D prefixes; never empty after parsing
    unsigned threads = 0;          // -T N; 0 = not given: workThreads() decides
};

// Threads that parallel work may use: -T N when given, else the number of
// cores, at most 8 (more gain nothing on bzip2 blocks). At least 1; 1 keeps
// every step sequential, done by the programs as before.
unsigned workThreads();

extern Options options;

// Writes "error: <message>\n" on standard error; exit status 1. Standard
// output is flushed and the live progress line stopped and erased first,
// so lines keep their order on a shared terminal.
// The exit-time cleanup removes the workspace.
// Inside work running beside the main thread (runtime.h, ParallelWork) it
// throws FatalInWork with the message instead, for the main thread.
[[noreturn]] void errorExit(const std::string& message);
struct FatalInWork {
    std::string message;
    bool quiet = false;  // from quietExit: no message, this status
    int status = 1;
};

// Ends the run with the status and no message, after whatever the caller
// printed; inside work beside the main thread it throws FatalInWork
// (quiet) for the main thread to end the run so.
[[noreturn]] void quietExit(int status);

// A progress line that only describes the work: printf on standard output,
// only with -v. The caller writes the line's "\n". The live progress line
// (progress/progress.h) is erased first, as by every printer here.
void verbose(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A non-fatal error: flushes standard output, then writes the text (the
// caller writes its "\n") on standard error.
void reportError(const char* format, ...) __attribute__((format(printf, 1, 2)));
