// pakrev: ships new releases of source packages as small patches.
#include "driver/driver.h"
#include "runtime/runtime.h"

int main(int argc, char** argv) {
    createWorkspace();
    return runDriver(argc, argv);
}
