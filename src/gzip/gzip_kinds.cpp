// The gzip-encoder kinds (16 zlib, 17 GNU gzip --rsyncable, 18 pigz) on the
// kind table: the maker's step after the GNU gzip levels, and the rebuild.
#include <zlib.h>

#include "driver/options.h"
#include "gzip/gzip.h"
#include "package/kinds.h"
#include "patchfile/patchfile.h"
#include "runtime/runtime.h"

namespace {

// Parameter block tags (layouts in docs/patch-format.md).
constexpr uint16_t PARAM_GZIP_HEADER = 0x8101;  // the published gzip header, verbatim
constexpr uint16_t PARAM_GZIP_AFTER = 0x8102;   // bytes after the body, verbatim

uint32_t kindOf(GzipEncoderFamily family) {
    switch (family) {
        case GZIP_ENCODER_ZLIB:
            return KIND_GZIP_ZLIB;
        case GZIP_ENCODER_RSYNCABLE:
            return KIND_GZIP_RSYNCABLE;
        default:
            return KIND_GZIP_PIGZ;
    }
}

bool recompressFamily(GzipEncoderFamily family, const PackageInfo& package,
                      const std::string& output) {
    std::vector<ParamField> fields;
    if (package.paramBlockPath.empty() || !readParamBlock(package.paramBlockPath, fields)) {
        reportError("Can't re-compress package.  Upgrade pakrev.\n");
        return false;
    }
    for (const ParamField& field : fields) {
        bool known = field.tag == PARAM_GZIP_HEADER || field.tag == PARAM_GZIP_AFTER;
        if ((field.tag & PARAM_CRITICAL) && !known) {
            reportError("Can't re-compress package.  Upgrade pakrev.\n");
            return false;
        }
    }
    const std::string* header = findParam(fields, PARAM_GZIP_HEADER);
    const std::string* after = findParam(fields, PARAM_GZIP_AFTER);
    std::string program;
    GzipRebuildResult result = header ? rebuildGzip(family, package.params, *header,
                                                    after ? *after : std::string(),
                                                    package.tarPath, output, program)
                                      : GZIP_REBUILD_BAD_PARAMS;
    switch (result) {
        case GZIP_REBUILT:
            return true;
        case GZIP_REBUILD_NO_PROGRAM:
            reportError("Can't find %s, which rebuilding %s needs\n", program.c_str(),
                        package.fileName.c_str());
            return false;
        case GZIP_REBUILD_BAD_PARAMS:
            reportError("Can't re-compress package.  Upgrade pakrev.\n");
            return false;
        default:
            reportError("Cannot recompress %s\n", package.fileName.c_str());
            return false;
    }
}

}  // namespace

void characteriseGzipEncoders(const PackageInfo& newPackage, Characterisation& out) {
    GzipEncoderMatch match;
    GzipSearchResult result = findGzipEncoder(newPackage.tarPath, newPackage.fullPath(), match);
    if (result != GZIP_SEARCH_FOUND) errorExit(gzipSearchMessage(result));
    out = Characterisation{};
    out.kind = kindOf(match.family);
    out.params = match.params;
    std::vector<ParamField> fields;
    fields.push_back({PARAM_GZIP_HEADER, match.header});
    if (!match.after.empty()) fields.push_back({PARAM_GZIP_AFTER, match.after});
    if (match.family == GZIP_ENCODER_ZLIB)
        fields.push_back({PARAM_ENCODER_VERSION, std::string("zlib ") + zlibVersion()});
    out.paramBlockPath = newTempName();
    if (!writeParamBlock(out.paramBlockPath, fields))
        errorExit("cannot write the patch into the workspace");
}

bool recompressGzipZlib(const PackageInfo& package, const std::string& output) {
    return recompressFamily(GZIP_ENCODER_ZLIB, package, output);
}

bool recompressGzipRsyncable(const PackageInfo& package, const std::string& output) {
    return recompressFamily(GZIP_ENCODER_RSYNCABLE, package, output);
}

bool recompressGzipPigz(const PackageInfo& package, const std::string& output) {
    return recompressFamily(GZIP_ENCODER_PIGZ, package, output);
}
