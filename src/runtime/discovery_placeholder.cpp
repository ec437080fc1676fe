// PLACEHOLDER until compressor discovery is merged: delete this file when the
// real discovery lands (it defines these symbols).
#include "driver/driver.h"
#include "runtime/runtime.h"

const char* bzip2SlotRelease(int) { return ""; }
const std::string& bzip2SlotPath(int) {
    static const std::string none;
    return none;
}
void discoverBzip2() { errorExit("compressor discovery is not built yet"); }
void discoverGzip() { errorExit("compressor discovery is not built yet"); }
const std::string& gnuGzipPath() {
    static const std::string none;
    return none;
}
