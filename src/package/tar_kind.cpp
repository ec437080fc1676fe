// The plain tar kind.
#include "driver/options.h"
#include "package/kinds.h"
#include "runtime/runtime.h"

bool decompressTar(const std::string& package, const std::string& tar) {
    return catToFile(package, tar) == 0;
}

void characteriseTar(const PackageInfo&, const std::string&, Characterisation& out) {
    out = Characterisation{};
    out.kind = KIND_TAR;
}

bool recompressTar(const PackageInfo& package, const std::string& output) {
    if (catToFile(package.tarPath, output) == 0) return true;
    reportError("cannot copy the rebuilt tar of %s\n", package.fullPath().c_str());
    return false;
}
