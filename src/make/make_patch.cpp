#include "driver/driver.h"
#include "make/make.h"

void makePatch(const std::string&, const std::string&, const std::string&) {
    errorExit("make mode is not built yet");
}
