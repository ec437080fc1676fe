// Argument parsing: option groups, level digits, directory prefixes and the
// list of file arguments.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/driver.h"

Options options;
std::vector<std::string> fileArgs;

namespace {

void chooseMode(RunMode& mode, RunMode wanted) {
    if (mode == MODE_NONE)
        mode = wanted;
    else if (mode != wanted)
        errorExit("cannot specify more than one of -mpc options");
}

// Splits at white space (the isspace class) and appends each word as a prefix.
void addOldDirs(const std::string& list) {
    size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && isspace(static_cast<unsigned char>(list[i]))) ++i;
        size_t start = i;
        while (i < list.size() && !isspace(static_cast<unsigned char>(list[i]))) ++i;
        if (i > start) options.oldPackageDirs.push_back(list.substr(start, i - start) + "/");
    }
}

}  // namespace

RunMode parseArguments(int argc, char** argv) {
    RunMode mode = MODE_NONE;
    bool awaitingNewDir = false;
    bool awaitingThreads = false;
    bool awaitingOldDirs = false;

    for (int a = 1; a < argc; ++a) {
        std::string arg = argv[a];
        if (arg == "--help") printHelp();
        if (arg == "--version") printVersion();
        if (!arg.empty() && arg[0] == '-') {
            for (size_t i = 1; i < arg.size(); ++i) {
                char c = arg[i];
                switch (c) {
                    case 'v': options.verbose = true; break;
                    case 'q': options.quiet = true; break;
                    case 'f': options.forceOverwrite = true; break;
                    case 'e': options.ensureMd5 = true; break;
                    case 'j': options.useSegdiff = true; break;
                    case 'i': options.infoOnly = true; break;
                    case 'r': options.mergePatches = true; break;
                    case 'b': options.patchCompression = PATCH_BZIP2; break;
                    case 'g': options.patchCompression = PATCH_GZIP; break;
                    case 'd': awaitingNewDir = true; break;
                    case 'T': awaitingThreads = true; break;
                    case 'D': awaitingOldDirs = true; break;
                    case 'm': chooseMode(mode, MODE_MAKE); break;
                    case 'p': chooseMode(mode, MODE_APPLY); break;
                    default:
                        printf("unknown option: %c\n", c);
                        exit(1);
                }
            }
            continue;
        }
        if (options.patchCompression != PATCH_PLAIN && options.compressionLevel == '0') {
            if (arg.size() != 1 || arg[0] < '1' || arg[0] > '9')
                errorExit("compression option must precede a digit from 1-9");
            options.compressionLevel = arg[0];
        } else if (awaitingThreads) {
            char* end = nullptr;
            unsigned long count = strtoul(arg.c_str(), &end, 10);
            if (arg.empty() || *end != '\0' || count < 1 || count > 64)
                errorExit("-T must precede a thread count from 1-64");
            options.threads = static_cast<unsigned>(count);
            awaitingThreads = false;
        } else if (awaitingNewDir) {
            options.newPackageDir = arg + "/";
            awaitingNewDir = false;
        } else if (awaitingOldDirs) {
            addOldDirs(arg);
            if (!arg.empty()) awaitingOldDirs = false;
        } else {
            fileArgs.push_back(arg);
        }
    }

    if (options.oldPackageDirs.empty()) options.oldPackageDirs.push_back(options.newPackageDir);
    if (awaitingThreads) errorExit("-T must precede a thread count from 1-64");
    if (awaitingNewDir) errorExit("must supply directory after -d option");
    if (awaitingOldDirs) errorExit("must supply directory after -D option");
    return mode;
}
