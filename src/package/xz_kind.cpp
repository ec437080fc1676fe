// The xz and zstd kinds: unpacking through liblzma and libzstd, the
// settings search, and the rebuild from the recorded settings. A package no
// setting reproduces travels as its compressed bytes (KIND_TAR).
#include <cstdio>
#include <cstring>

#include "driver/options.h"
#include "package/kinds.h"
#include "patchfile/patchfile.h"
#include "runtime/runtime.h"
#include "xz/xz.h"
#include "zstd/zstd.h"

namespace {

std::string u64Bytes(uint64_t value) {
    std::string out(8, '\0');
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

bool readU64Field(const std::string& value, uint64_t& out) {
    if (value.size() != 8) return false;
    out = 0;
    for (int i = 7; i >= 0; --i) out = (out << 8) | static_cast<unsigned char>(value[i]);
    return true;
}

void opaque(const char* kind, Characterisation& out) {
    reportError("%s settings not found: the patch holds a delta of the compressed files\n", kind);
    out = Characterisation{};
    out.kind = KIND_TAR;
}

void writeFields(const std::vector<ParamField>& fields, Characterisation& out) {
    out.paramBlockPath = newTempName();
    if (!writeParamBlock(out.paramBlockPath, fields))
        errorExit("cannot write the patch into the workspace");
}

// Writes the rebuilt package and, when it does not match the digest while
// the recorded library differs from ours, says which libraries.
bool finishRebuild(const PackageInfo& package, bool compressed, const std::string& output,
                   const std::vector<ParamField>& fields, const std::string& ours) {
    if (!compressed) {
        reportError("cannot compress %s\n", package.fullPath().c_str());
        return false;
    }
    const std::string* recorded = findParam(fields, PARAM_ENCODER_VERSION);
    if (package.hasMd5 && recorded && *recorded != ours && !md5Matches(package.md5, output)) {
        reportError("the package was made with %s, this pakrev has %s: the rebuild differs\n",
                    recorded->c_str(), ours.c_str());
        return false;
    }
    return true;
}

bool readFields(const PackageInfo& package, std::vector<ParamField>& fields) {
    if (package.paramBlockPath.empty()) return true;
    if (readParamBlock(package.paramBlockPath, fields)) return true;
    reportError("Can't re-compress package.  Upgrade pakrev.\n");
    return false;
}

}  // namespace

bool decompressXz(const std::string& package, const std::string& tar) {
    return xzDecompress(package, tar);
}

void characteriseXz(const PackageInfo& newPackage, const std::string&, Characterisation& out) {
    XzSettings found;
    if (!xzFindSettings(newPackage.tarPath, newPackage.fullPath(), found)) return opaque("xz", out);
    verbose("xz settings: preset %u%s, check %u, %s, block size %llu\n", found.preset,
            found.extreme ? "e" : "", found.check,
            found.multithreaded ? "multi-threaded" : "single-threaded",
            static_cast<unsigned long long>(found.blockSize));
    out = Characterisation{};
    out.kind = KIND_XZ;
    out.params = xzSettingsToParams(found);
    std::vector<ParamField> fields = {{PARAM_ENCODER_VERSION, xzLibraryVersion()}};
    if (found.blockSize)
        fields.push_back({found.multithreaded ? PARAM_XZ_BLOCK_SIZE : PARAM_XZ_FLUSH_SIZE,
                          u64Bytes(found.blockSize)});
    if (found.dictSize) fields.push_back({PARAM_XZ_DICT_SIZE, u64Bytes(found.dictSize)});
    writeFields(fields, out);
}

bool recompressXz(const PackageInfo& package, const std::string& output) {
    std::vector<ParamField> fields;
    if (!readFields(package, fields)) return false;
    XzSettings settings = xzSettingsFromParams(package.params);
    uint64_t value = 0;
    for (const ParamField& field : fields) {
        // Each block size applies to its own encoder only.
        if (field.tag == PARAM_XZ_BLOCK_SIZE && readU64Field(field.value, value)) {
            if (settings.multithreaded) settings.blockSize = value;
        } else if (field.tag == PARAM_XZ_FLUSH_SIZE && readU64Field(field.value, value)) {
            if (!settings.multithreaded) settings.blockSize = value;
        }
        else if (field.tag == PARAM_XZ_DICT_SIZE && readU64Field(field.value, value) &&
                 value <= UINT32_MAX)
            settings.dictSize = static_cast<uint32_t>(value);
        else if ((field.tag & PARAM_CRITICAL) != 0) {
            reportError("Can't re-compress package.  Upgrade pakrev.\n");
            return false;
        }
    }
    verbose("compressing with xz preset %u%s\n", settings.preset, settings.extreme ? "e" : "");
    FileSink sink(output);
    return finishRebuild(package, sink.isOpen() && xzCompress(package.tarPath, settings, sink),
                         output, fields, xzLibraryVersion());
}

bool decompressZstd(const std::string& package, const std::string& tar) {
    return zstdDecompress(package, tar);
}

void characteriseZstd(const PackageInfo& newPackage, const std::string&, Characterisation& out) {
    ZstdSettings found;
    if (!zstdFindSettings(newPackage.tarPath, newPackage.fullPath(), found))
        return opaque("zstd", out);
    verbose("zstd settings: level %d%s%s\n", found.level, found.longMode ? ", long" : "",
            found.multithreaded ? ", multi-threaded" : "");
    out = Characterisation{};
    out.kind = KIND_ZSTD;
    out.params = zstdSettingsToParams(found);
    writeFields({{PARAM_ENCODER_VERSION, zstdLibraryVersion()}}, out);
}

bool recompressZstd(const PackageInfo& package, const std::string& output) {
    std::vector<ParamField> fields;
    if (!readFields(package, fields)) return false;
    for (const ParamField& field : fields)
        if ((field.tag & PARAM_CRITICAL) != 0) {
            reportError("Can't re-compress package.  Upgrade pakrev.\n");
            return false;
        }
    ZstdSettings settings = zstdSettingsFromParams(package.params);
    verbose("compressing with zstd level %d\n", settings.level);
    FileSink sink(output);
    return finishRebuild(package, sink.isOpen() && zstdCompress(package.tarPath, settings, sink),
                         output, fields, zstdLibraryVersion());
}
