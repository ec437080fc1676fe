#include "apply/apply.h"
#include "driver/driver.h"

void applyPatchFile(const std::string&) { errorExit("apply mode is not built yet"); }
void applyViaTempFile(IStream&) { errorExit("apply mode is not built yet"); }
void applyPatchStream(IStream&) { errorExit("apply mode is not built yet"); }
bool rebuildPackage(PackageInfo&) { errorExit("apply mode is not built yet"); }
