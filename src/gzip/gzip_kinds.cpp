// The gzip-encoder kinds (16 zlib, 17 GNU gzip --rsyncable, 18 pigz) and the
// reconstruction kind (23) on the kind table: the maker's steps after the GNU
// gzip levels, and the rebuilds.
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

// The last step: a record of the published streams against the model
// encoder. Ends the run with the search's message when no record can be made
// (the file is not gzip as the engine reads it, a block is too large, or the
// record does not rebuild the package).
void characteriseByReconstruction(const PackageInfo& newPackage, GzipSearchResult searched,
                                  Characterisation& out) {
    verbose("rebuilding the deflate streams by reconstruction\n");
    std::string recordPath = newTempName();
    recon::MakeStats stats;
    recon::Result made = makeGzipRecord(newPackage.fullPath(), newPackage.tarPath, recordPath,
                                        &stats);
    if (made != recon::Result::Ok) {
        removeTempFile(recordPath);
        verbose("reconstruction: %s\n", recon::resultText(made));
        errorExit(gzipSearchMessage(searched));
    }
    verbose("reconstruction record: %llu bytes for %llu compressed (model %s)\n",
            static_cast<unsigned long long>(stats.correctionBytes),
            static_cast<unsigned long long>(stats.compressedBytes), stats.model.c_str());
    out = Characterisation{};
    out.kind = KIND_GZIP_RECON;
    out.params = 0;
    out.paramBlockPath = newTempName();
    bool written = writeParamBlockWithFile(out.paramBlockPath, {}, PARAM_GZIP_RECORD, recordPath);
    removeTempFile(recordPath);
    if (!written) errorExit("cannot write the patch into the workspace");
}

}  // namespace

void characteriseGzipEncoders(const PackageInfo& newPackage, Characterisation& out) {
    GzipEncoderMatch match;
    GzipSearchResult result = findGzipEncoder(newPackage.tarPath, newPackage.fullPath(), match);
    if (result == GZIP_SEARCH_UNREADABLE) errorExit(gzipSearchMessage(result));
    if (result != GZIP_SEARCH_FOUND) {
        characteriseByReconstruction(newPackage, result, out);
        return;
    }
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

bool recompressGzipRecon(const PackageInfo& package, const std::string& output) {
    if (package.params != 0 || package.paramBlockPath.empty()) {
        reportError("Can't re-compress package.  Upgrade pakrev.\n");
        return false;
    }
    verbose("rebuilding the deflate streams from the reconstruction record\n");
    switch (rebuildFromRecordBlock(package.paramBlockPath, package.tarPath, output)) {
        case GZIP_RECORD_REBUILT:
            return true;
        case GZIP_RECORD_UNKNOWN:
            reportError("Can't re-compress package.  Upgrade pakrev.\n");
            return false;
        case GZIP_RECORD_DAMAGED:
            reportError("The reconstruction record of %s is damaged\n", package.fileName.c_str());
            return false;
        default:
            reportError("Cannot recompress %s\n", package.fileName.c_str());
            return false;
    }
}
