// segdiff [-v] OLD NEW DELTA
#include <cstdio>
#include <cstring>
#include <string>

#include "segdiff.h"

using namespace segdiff;

namespace {

const char USAGE[] =
    "usage: segdiff [-v] OLD NEW DELTA\n"
    "Writes to DELTA a segdiff delta that rebuilds NEW from OLD.\n"
    "  -v  print what the delta holds on standard error\n";

}  // namespace

int main(int argc, char** argv) {
    bool verbose = false;
    int first = 1;
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (first < argc && std::strcmp(argv[first], "-v") == 0) {
        verbose = true;
        ++first;
    }
    if (argc - first != 3) {
        std::fputs(USAGE, stderr);
        return 1;
    }
    const std::string oldPath = argv[first], newPath = argv[first + 1], deltaPath = argv[first + 2];

    InputFile oldFile, newFile;
    mapInput(oldFile, oldPath);
    mapInput(newFile, newPath);
    OutputFile out;
    openOutput(out, deltaPath);

    DeltaWriter writer;
    startDelta(writer, out);
    MatchStats stats = findCopies(oldFile, newFile, writer);
    finishDelta(writer, oldFile, newFile);
    commitOutput(out);

    if (verbose)
        std::fprintf(stderr, "segdiff: %llu records, %llu copies (%llu resumed), %llu bytes copied, %llu literal\n",
                     static_cast<unsigned long long>(writer.recordCount),
                     static_cast<unsigned long long>(stats.copies),
                     static_cast<unsigned long long>(stats.resumed),
                     static_cast<unsigned long long>(stats.copiedBytes),
                     static_cast<unsigned long long>(newFile.size - stats.copiedBytes));
    unmapInput(oldFile);
    unmapInput(newFile);
    return 0;
}
