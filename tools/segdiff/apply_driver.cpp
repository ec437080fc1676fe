// segdiff-apply OLD DELTA OUTPUT: rebuilds OUTPUT with pakrev's built-in
// applier of segdiff deltas. Used by the delta benchmark.
#include <cstdio>

#include "delta/delta.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: segdiff-apply OLD DELTA OUTPUT\n", stderr);
        return 1;
    }
    return applySegdiffPatch(argv[1], argv[3], argv[2]) == 0 ? 0 : 1;
}
