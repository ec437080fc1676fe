// The usage text.
#include <cstdio>
#include <cstdlib>

#include "driver/driver.h"

namespace {

const char BANNER[] = "pakrev version 0.4.4\n";

const char SYNOPSIS[] =
        "pakrev -m[fvejq] [bg #] [-T #] [-[dD] <repository>] package1 package2 patchfile #make patch\n"
        "pakrev -p[fvirq] [-T #] [-[dD] <repository>] <patchfiles> #apply patches\n"
        "\n"
        "Flags: f = force overwrite output files\n"
        "       v = verbose\n"
        "       q = quiet: no progress line on a terminal\n"
        "       e = ensure md5sum is correct (otherwise checks on patch)\n"
        "       j = use new segdiff algorithm\n"
        "     b,g = compress patch with bzip2 or gzip\n"
        "       i = don't actually do anything.  Just show info\n"
        "       r = if several patches to one source are given, merge\n"
        "           patches so they will apply in one step and don't\n"
        "           create intermediate files\n"
        "       d = new tarball belongs in <repository>\n"
        "       D = old tarball(s) can be found in <repository>\n"
        "       T = use at most # threads (default: the number of cores;\n"
        "           1 = one step at a time)\n"
        "See README in /usr/share/doc/pakrev<ver> for examples and info\n";

}  // namespace

void printUsage() {
    fputs(BANNER, stdout);
    fputs("Bad usage.  Try one of:\n", stdout);
    fputs(SYNOPSIS, stdout);
    exit(0);
}

void printHelp() {
    fputs(BANNER, stdout);
    fputs("Usage:\n", stdout);
    fputs(SYNOPSIS, stdout);
    exit(0);
}

void printVersion() {
    fputs(BANNER, stdout);
    exit(0);
}
