// Discovery of pigz: the first "pigz" directly on $PATH whose version line
// begins with "pigz ".
#include <cstdio>
#include <cstdlib>

#include "driver/options.h"
#include "gzip/gzip.h"
#include "runtime/runtime.h"

namespace {

std::string foundPigz;

// "-maxdepth 1": only programs directly in the search path directories.
const char PIGZ_LISTING_COMMAND[] =
    "find `echo $PATH | tr ':' ' '` -maxdepth 1 -name 'pigz' -exec sh -c "
    "'echo {};{} --version 2>&1|grep ^pigz' \\; 2> /dev/null > ";

}  // namespace

const std::string& pigzPath() { return foundPigz; }

bool readPigzListing(const std::string& listingPath) {
    FILE* listing = fopen(listingPath.c_str(), "r");
    if (!listing) return false;
    char buffer[1024];
    std::string previous;
    while (fgets(buffer, sizeof buffer, listing)) {
        std::string line = buffer;
        if (line.compare(0, 5, "pigz ") == 0 && !previous.empty()) {
            foundPigz = previous;
            break;
        }
        previous = line;
        if (!previous.empty() && previous.back() == '\n') previous.pop_back();
    }
    fclose(listing);
    return true;
}

void discoverPigz() {
    std::string listing = newTempName();
    // The status is not looked at: a failing find just lists less.
    runShellLine(PIGZ_LISTING_COMMAND + shellQuote(listing));
    if (!readPigzListing(listing)) quietExit(1);
    removeTempFile(listing);
    if (foundPigz.empty())
        verbose("pigz NOT found\n");
    else
        verbose("found pigz:\n  %s\n", foundPigz.c_str());
}
