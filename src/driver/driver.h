// Command line and driver, the entry face: argument parsing, the usage
// text and the whole run. The option record and the fatal path that lower
// subsystems use are in driver/options.h.
#pragma once

#include <string>
#include <vector>

#include "driver/options.h"

enum RunMode { MODE_NONE = 0, MODE_MAKE = 1, MODE_APPLY = 2 };

// The file names of the command line, in order.
extern std::vector<std::string> fileArgs;

// Parses argv into `options` and `fileArgs` and returns the mode. May end the
// process: "--help" and "--version" print and exit 0 (only as whole words,
// wherever they stand), usage errors go through errorExit, an unknown
// option letter prints
// "unknown option: %c" on standard output and exits with status 1.
RunMode parseArguments(int argc, char** argv);

// Prints the version banner, "Bad usage.  Try one of:" and the usage text
// on standard output; exit status 0.
[[noreturn]] void printUsage();
// --help: the banner, "Usage:" and the usage text on standard output;
// exit status 0.
[[noreturn]] void printHelp();
// --version: "pakrev version X.Y.Z" on standard output; exit status 0.
[[noreturn]] void printVersion();

// The whole program after start-up: parse, dispatch, drain the deferred
// rebuilds. Returns the process exit status.
int runDriver(int argc, char** argv);
