// Compressor discovery: the bzip2 release slots and the GNU gzip path, filled
// by listing the programs that sit directly on $PATH together with their
// version lines.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/options.h"
#include "runtime/runtime.h"

namespace {

const char* const SLOT_RELEASES[BZIP2_SLOT_COUNT] = {"0.9.0c", "1.0.2", "1.0.3", "1.0.4",
                                                     "1.0.5",  "1.0.6", "1.0.7", "1.0.8"};

// Never cleared: a later discovery overwrites what it finds again.
std::string slotPaths[BZIP2_SLOT_COUNT];
std::string gzipPath;

// "-maxdepth 1": only programs directly in the search path directories are
// listed and run, never anything further down a tree that happens to be on
// $PATH.
const char BZIP2_LISTING_COMMAND[] =
    "find `echo $PATH | tr \":\" \" \"` -maxdepth 1 -iname \"bzip2*\" -exec sh -c "
    "'echo {}; {} -h 2>&1 | grep \"Version\"' \\; 2> /dev/null > ";
const char GZIP_LISTING_COMMAND[] =
    "find `echo $PATH | tr ':' ' '` -maxdepth 1 -iname 'gzip' -exec sh -c "
    "'echo {};{} -V 2>&1|grep ^gzip' \\; 2> /dev/null > ";

// Listings are read in pieces: one read returns at most 253 characters.
const int LISTING_LINE_BUFFER = 254;

// Runs a listing command into a fresh workspace file and returns its name.
// The status is not looked at: a failing find just lists less.
std::string writeListing(const char* command) {
    std::string listing = newTempName();
    runShellLine(command + shellQuote(listing));
    return listing;
}

// The program path named by the line before a version line.
std::string pathFromLine(const std::string& line) {
    if (!line.empty() && line.back() == '\n') return line.substr(0, line.size() - 1);
    return line;
}

// Reads a listing line by line (in pieces of at most 253 characters) and
// hands each line to `visit` together with the program path named by the
// line before it. Stops when `visit` returns true. False when the listing
// cannot be opened.
template <typename Visit>
bool forEachListingLine(const std::string& listingPath, Visit visit) {
    FILE* listing = fopen(listingPath.c_str(), "r");
    if (!listing) return false;
    char buffer[LISTING_LINE_BUFFER];
    std::string previous;
    while (fgets(buffer, sizeof buffer, listing)) {
        std::string line = buffer;
        if (visit(line, pathFromLine(previous))) break;
        previous = line;
    }
    fclose(listing);
    return true;
}

}  // namespace

const char* bzip2SlotRelease(int slot) {
    if (slot < 0 || slot >= BZIP2_SLOT_COUNT) return "";
    return SLOT_RELEASES[slot];
}

const std::string& bzip2SlotPath(int slot) {
    static const std::string none;
    if (slot < 0 || slot >= BZIP2_SLOT_COUNT) return none;
    return slotPaths[slot];
}

const std::string& gnuGzipPath() { return gzipPath; }

bool readBzip2Listing(const std::string& listingPath) {
    return forEachListingLine(listingPath, [](const std::string& line, const std::string& path) {
        size_t word = line.find("Version");
        // The release number follows "Version" and one more character.
        if (word != std::string::npos && word + 8 <= line.size()) {
            std::string release = line.substr(word + 8, 5);
            for (int slot = 1; slot < BZIP2_SLOT_COUNT; ++slot) {
                if (release == SLOT_RELEASES[slot] && !path.empty()) slotPaths[slot] = path;
            }
        }
        return false;
    });
}

bool readGzipListing(const std::string& listingPath) {
    return forEachListingLine(listingPath, [](const std::string& line, const std::string& path) {
        size_t word = line.find("gzip");
        // "gzip 1.x": the word, one character, then a 1.x release number.
        bool gnuRelease = word != std::string::npos && word + 6 < line.size() &&
                          line[word + 5] == '1' && line[word + 6] == '.';
        if (!gnuRelease || path.empty()) return false;
        gzipPath = path;
        return true;
    });
}

void discoverBzip2() {
    std::string listing = writeListing(BZIP2_LISTING_COMMAND);
    if (!readBzip2Listing(listing)) quietExit(1);
    verbose("found bzip2 compressors/decompressors:\n");
    for (int slot = 0; slot < BZIP2_SLOT_COUNT; ++slot)
        if (!slotPaths[slot].empty()) verbose("  %s\n", slotPaths[slot].c_str());
}

void discoverGzip() {
    std::string listing = writeListing(GZIP_LISTING_COMMAND);
    if (!readGzipListing(listing)) quietExit(1);
    // A path found now or by an earlier call counts as found.
    if (gzipPath.empty())
        verbose("GNU gzip compressor/decompressor NOT found!\n");
    else
        verbose("found GNU gzip compressor/decompressor:\n  %s\n", gzipPath.c_str());
}
