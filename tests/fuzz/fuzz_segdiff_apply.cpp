// Fuzzes the segdiff applier: the input is the delta file, applied to a small
// fixed reference. A delta that applies cleanly must rebuild exactly the
// output size its header announces, and no delta, applied or refused, may
// make the output larger than that size.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "delta/delta.h"
#include "stream/stream.h"

namespace {

std::string directory;

std::string path(const char* name) { return directory + "/" + name; }

void removeFiles() {
    for (const char* name : {"delta", "reference", "output"}) unlink(path(name).c_str());
    rmdir(directory.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/pakrev-fuzz-XXXXXX";
    if (!mkdtemp(&templ[0])) abort();
    directory = templ;
    atexit(removeFiles);
    FILE* f = fopen(path("reference").c_str(), "wb");
    if (!f) abort();
    fputs("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_", f);
    fclose(f);
    // The applier reports on standard output; keep the fuzzer's log readable.
    if (!freopen("/dev/null", "w", stdout)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = fopen(path("delta").c_str(), "wb");
    if (!f) abort();
    if (size && fwrite(data, 1, size, f) != size) abort();
    fclose(f);
    int result = applySegdiffPatch(path("reference"), path("output"), path("delta"));
    if (result != 0 && result != 1 && result != -1) abort();
    int64_t written = fileSize64(path("output"));
    if (result == 0 && size < SEGDIFF_HEADER_SIZE) abort();
    if (size >= SEGDIFF_HEADER_SIZE) {
        uint32_t outputSize = data[10] | (data[11] << 8) | (data[12] << 16) |
                              (static_cast<uint32_t>(data[13]) << 24);
        if (result == 0 && written != outputSize) abort();
        if (written > static_cast<int64_t>(outputSize)) abort();
    } else if (written > 0) {
        abort();
    }
    // Fresh files each time: rewriting a file in place makes some file
    // systems flush it to disk on close, which slows fuzzing to a crawl.
    unlink(path("output").c_str());
    unlink(path("delta").c_str());
    return 0;
}
