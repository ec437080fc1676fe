// The table of package kinds and the choice of a kind by file-name ending.
#include "driver/options.h"
#include "package/kinds.h"
#include "package/package.h"

namespace {

const char* const BZIP2_ENDINGS[] = {"bz2", nullptr};
const char* const GZIP_ENDINGS[] = {"gz", nullptr};
const char* const XZ_ENDINGS[] = {".tar.xz", ".txz", nullptr};
const char* const ZSTD_ENDINGS[] = {".tar.zst", ".tzst", nullptr};

// Rows with endings are matched in this order.
const PackageKind KINDS[] = {
    {KIND_BZIP2, "bzip2", BZIP2_ENDINGS, decompressBzip2, characteriseBzip2, recompressBzip2},
    {KIND_GZIP, "gzip", GZIP_ENDINGS, decompressGzip, characteriseGzip, recompressGzip},
    {KIND_XZ, "xz", XZ_ENDINGS, decompressXz, characteriseXz, recompressXz},
    {KIND_ZSTD, "zstd", ZSTD_ENDINGS, decompressZstd, characteriseZstd, recompressZstd},
    {KIND_BZIP2_OLD, "bzip2_old", nullptr, nullptr, nullptr, recompressBzip2Old},
    {KIND_GZIP_ZLIB, "gzip_zlib", nullptr, decompressGzip, nullptr, recompressGzipZlib},
    {KIND_GZIP_RSYNCABLE, "gzip_rsyncable", nullptr, decompressGzip, nullptr,
     recompressGzipRsyncable},
    {KIND_GZIP_PIGZ, "gzip_pigz", nullptr, decompressGzip, nullptr, recompressGzipPigz},
    {KIND_GZIP_RECON, "gzip_recon", nullptr, decompressGzip, nullptr, recompressGzipRecon},
    {KIND_TAR, "tar", nullptr, decompressTar, characteriseTar, recompressTar},
};

// Endings that end the run, checked after the kinds' own: "bz2" and "gz"
// come first, so .tbz2 and .tgz are packages while .gzip is refused. Only
// ".Z" carries its dot.
struct RefusedEnding {
    const char* ending;
    const char* message;
};
const RefusedEnding REFUSED[] = {
    {"zip", "zip files are unsupported (pardon the pun!)"},
    {"lzw", "lzw files are not supported"},
    {".Z", ".Z compression not supported"},
};

}  // namespace

bool endsWith(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

const PackageKind* findKind(uint32_t code) {
    for (const PackageKind& kind : KINDS)
        if (kind.code == code) return &kind;
    return nullptr;
}

const PackageKind& kindForFileName(const std::string& fileName) {
    for (const PackageKind& kind : KINDS) {
        for (const char* const* e = kind.endings; e && *e; ++e)
            if (endsWith(fileName, *e)) return kind;
    }
    for (const RefusedEnding& refused : REFUSED)
        if (endsWith(fileName, refused.ending)) errorExit(refused.message);
    return *findKind(KIND_TAR);
}
