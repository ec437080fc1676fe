// The bound on parallel work: -T N, or the machine's cores.
#include <thread>

#include "driver/options.h"

unsigned workThreads() {
    if (options.threads > 0) return options.threads;
    unsigned cores = std::thread::hardware_concurrency();
    if (cores < 1) return 1;
    return cores > 8 ? 8 : cores;
}
