// The encoder search: each family in turn tries its candidates against the
// package body, dropping a candidate at the first byte that differs.
#include <cstdio>
#include <vector>

#include "driver/options.h"
#include "gzip/gzip.h"
#include "progress/progress.h"
#include "runtime/runtime.h"

namespace {

// Compares the bytes an encoder makes with the package body as they come.
struct BodyComparer {
    FILE* package = nullptr;
    uint64_t remaining = 0;
    std::vector<unsigned char> expected;

    bool take(const unsigned char* bytes, size_t count) {
        if (count > remaining) return false;
        expected.resize(count);
        if (fread(expected.data(), 1, count, package) != count) return false;
        remaining -= count;
        for (size_t i = 0; i < count; ++i) {
            if (expected[i] != bytes[i]) return false;
        }
        return true;
    }
};

struct SearchContext {
    std::string tarPath, packagePath;
    GzipLayout layout;
    GzipHeaderHints hints;
    DeflateEvidence evidence;
};

// Blocks scanned for evidence: enough to pass the largest pigz block size
// on compressible data.
const size_t EVIDENCE_BLOCKS = 128;

// Runs one candidate's encoder against the body; true when it made the
// body exactly.
template <typename Encode>
bool bodyMatches(const SearchContext& context, Encode encode) {
    ProgressStep step("gzip encoder search", readingOf(context.tarPath));
    BodyComparer comparer;
    comparer.package = fopen(context.packagePath.c_str(), "rb");
    if (!comparer.package) return false;
    comparer.remaining = context.layout.bodyLength;
    bool same = fseeko(comparer.package, static_cast<off_t>(context.layout.bodyOffset),
                       SEEK_SET) == 0 &&
                encode([&](const unsigned char* b, size_t n) { return comparer.take(b, n); }) &&
                comparer.remaining == 0;
    fclose(comparer.package);
    return same;
}

bool tryZlib(const SearchContext& context, uint32_t& params) {
    verbose("trying zlib settings\n");
    for (const ZlibSettings& s : zlibCandidates(context.hints, context.evidence)) {
        if (bodyMatches(context, [&](const BodySink& sink) {
                return zlibBody(context.tarPath, s, sink);
            })) {
            verbose("zlib level %d memLevel %d strategy %d window bits %d\n", s.level,
                    s.memLevel, s.strategy, s.windowBits);
            params = zlibParams(s);
            return true;
        }
    }
    return false;
}

bool tryRsyncable(const SearchContext& context, uint32_t& params) {
    discoverGzip();
    if (gnuGzipPath().empty()) return false;
    for (int level : levelOrder(context.hints)) {
        verbose("trying gzip --rsyncable -%d\n", level);
        std::string command =
            encoderCommand(gnuGzipPath(), rsyncableArguments(level), context.tarPath);
        if (bodyMatches(context, [&](const BodySink& sink) {
                return programBody(command, sink);
            })) {
            params = rsyncableParams(level);
            return true;
        }
    }
    return false;
}

bool tryPigz(const SearchContext& context, uint32_t& params) {
    discoverPigz();
    if (pigzPath().empty()) return false;
    verbose("trying pigz settings\n");
    for (const PigzSettings& s : pigzCandidates(context.hints, context.evidence)) {
        std::string command = encoderCommand(pigzPath(), pigzArguments(s), context.tarPath);
        if (bodyMatches(context, [&](const BodySink& sink) {
                return programBody(command, sink);
            })) {
            verbose("pigz %s\n", pigzArguments(s).c_str());
            params = pigzParams(s);
            return true;
        }
    }
    return false;
}

// The families in the order they are tried. A further family is one more
// row here.
struct FamilyStep {
    GzipEncoderFamily family;
    bool (*attempt)(const SearchContext& context, uint32_t& params);
};
const FamilyStep FAMILY_STEPS[] = {
    {GZIP_ENCODER_ZLIB, tryZlib},
    {GZIP_ENCODER_RSYNCABLE, tryRsyncable},
    {GZIP_ENCODER_PIGZ, tryPigz},
};

}  // namespace

GzipSearchResult findGzipEncoder(const std::string& tarPath, const std::string& packagePath,
                                 GzipEncoderMatch& match) {
    SearchContext context{tarPath, packagePath, {}, {}, {}};
    if (!readGzipLayout(packagePath, context.layout)) return GZIP_SEARCH_UNREADABLE;
    if (context.layout.severalMembers) return GZIP_SEARCH_MEMBERS;
    if (context.layout.afterLength > GZIP_AFTER_LIMIT) return GZIP_SEARCH_TRAILING;
    context.hints = headerHints(context.layout.header);
    std::vector<DeflateBlock> blocks;
    // A stream that the scan cannot follow (it inflated, so that is never
    // expected) gives no evidence and rules nothing out.
    if (scanDeflateBlocks(packagePath, context.layout.bodyOffset, context.layout.bodyLength - 8,
                          EVIDENCE_BLOCKS, blocks))
        context.evidence = deflateEvidence(blocks, !blocks.empty() && blocks.back().final);
    for (const FamilyStep& step : FAMILY_STEPS) {
        uint32_t params = 0;
        if (!step.attempt(context, params)) continue;
        match.family = step.family;
        match.params = params;
        match.header = context.layout.header;
        match.after.clear();
        if (context.layout.afterLength > 0) {
            FILE* f = fopen(packagePath.c_str(), "rb");
            match.after.resize(static_cast<size_t>(context.layout.afterLength));
            bool read = f && fseeko(f, static_cast<off_t>(context.layout.afterOffset),
                                    SEEK_SET) == 0 &&
                        fread(&match.after[0], 1, match.after.size(), f) == match.after.size();
            if (f) fclose(f);
            if (!read) return GZIP_SEARCH_UNREADABLE;
        }
        return GZIP_SEARCH_FOUND;
    }
    return GZIP_SEARCH_NOT_FOUND;
}

const char* gzipSearchMessage(GzipSearchResult result) {
    switch (result) {
        case GZIP_SEARCH_MEMBERS:
            return "gzip package of several members: pakrev cannot rebuild it";
        case GZIP_SEARCH_TRAILING:
            // Shown when the reconstruction, which keeps up to 1 MiB, failed too.
            return "gzip package with more than 1 MiB after its compressed data: pakrev "
                   "cannot rebuild it";
        case GZIP_SEARCH_UNREADABLE:
            return "Cannot read second input file.  Error encountered during decompression";
        default:
            return "Unknown gzip compression format";
    }
}
