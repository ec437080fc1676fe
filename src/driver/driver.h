// Command line and driver: the process-wide option record, the argument
// parser, the usage text, the fatal-error path and the queue of deferred
// rebuilds.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

struct PackageInfo;

enum PatchCompression : int32_t { PATCH_PLAIN = 0, PATCH_BZIP2 = 1, PATCH_GZIP = 2 };

enum RunMode { MODE_NONE = 0, MODE_MAKE = 1, MODE_APPLY = 2 };

// Written once by parseArguments, read directly by every pipeline.
struct Options {
    bool verbose = false;          // -v
    bool forceOverwrite = false;   // -f
    bool ensureMd5 = false;        // -e
    bool useSegdiff = false;       // -j
    bool infoOnly = false;         // -i
    bool mergePatches = false;     // -r
    PatchCompression patchCompression = PATCH_PLAIN;  // -b / -g
    char compressionLevel = '0';   // the digit after -b/-g; '0' = none given
    std::string newPackageDir;     // -d, as a prefix ending in "/" or empty
    std::vector<std::string> oldPackageDirs;  // -D prefixes; never empty after parsing
};

extern Options options;
extern std::vector<std::string> fileArgs;

// Deferred rebuilds (apply mode with -r), first in first out. The queue owns
// its records; a record taken out of it is destroyed by whoever takes it.
extern std::list<std::unique_ptr<PackageInfo>> rebuildQueue;

// Parses argv into `options` and `fileArgs` and returns the mode. May end the
// process: usage errors go through errorExit, an unknown option letter prints
// "unknown option: %c" on standard output and exits with status 1.
RunMode parseArguments(int argc, char** argv);

// Prints the version banner and usage text on standard output; exit status 0.
[[noreturn]] void printUsage();

// Writes "error: <message>\n" on standard error; exit status 1. The exit-time
// cleanup removes the workspace.
[[noreturn]] void errorExit(const std::string& message);

// Set when a rebuild failed; the run then ends with status 1 after all work.
extern bool anyRebuildFailed;

// The whole program after start-up: parse, dispatch, drain the queue.
// Returns the process exit status.
int runDriver(int argc, char** argv);
