// Finding the xz settings that reproduce a package: candidates from the
// recorded structure, a prefix probe of each, then full compressions
// compared against the package.
#include <lzma.h>

#include <algorithm>

#include "progress/progress.h"
#include "xz/xz.h"

namespace {

// The order presets are tried in when several fit the dictionary: the
// default first, then the strongest, then the rest.
constexpr uint32_t PRESET_ORDER[] = {6, 9, 7, 8, 5, 4, 3, 2, 1, 0};
constexpr uint64_t PROBE_INPUT = 8u << 20;
// Full compressions of candidates whose probes all agreed.
constexpr int FULL_ATTEMPTS = 3;

bool presetOptions(uint32_t preset, bool extreme, lzma_options_lzma& options) {
    return !lzma_lzma_preset(&options, preset | (extreme ? LZMA_PRESET_EXTREME : 0));
}

// Whether two option sets make the same encoder (the dictionary aside).
bool sameEncoder(const lzma_options_lzma& a, const lzma_options_lzma& b) {
    return a.lc == b.lc && a.lp == b.lp && a.pb == b.pb && a.mode == b.mode &&
           a.nice_len == b.nice_len && a.mf == b.mf && a.depth == b.depth;
}

// "xz -6e": the candidate as the progress line names it.
std::string xzStepName(const XzSettings& settings) {
    return "xz -" + std::to_string(settings.preset) + (settings.extreme ? "e" : "");
}

}  // namespace

std::vector<XzSettings> xzCandidates(const XzStreamInfo& info) {
    std::vector<XzSettings> out;
    if (!info.singleStream || !info.lzma2Only || !info.uniformBlocks || info.blockCount == 0)
        return out;
    XzSettings base;
    base.check = info.check;
    base.multithreaded = info.sizesInHeaders;
    if (base.multithreaded) {
        // One block says only that the block size was at least its length;
        // the encoder's default is then as good as any.
        uint64_t defaultSize = std::max<uint64_t>(3ull * info.dictSize, 1u << 20);
        if (info.blockCount > 1 || info.firstBlockUncompressed > defaultSize)
            base.blockSize = info.firstBlockUncompressed;
    } else if (info.blockCount > 1) {
        // The single-threaded encoder with a block size (xz -T1
        // --block-size=N) ends a block after every N bytes.
        base.blockSize = info.firstBlockUncompressed;
    }
    // The presets whose dictionary is the recorded one, then those with a
    // larger one made to use the recorded dictionary (xz reduces it under
    // a memory limit), leaving out encoders already listed.
    std::vector<std::pair<lzma_options_lzma, XzSettings>> listed;
    for (bool exact : {true, false})
        for (uint32_t preset : PRESET_ORDER)
            for (bool extreme : {false, true}) {
                lzma_options_lzma options;
                if (!presetOptions(preset, extreme, options)) continue;
                if (exact ? options.dict_size != info.dictSize : options.dict_size <= info.dictSize)
                    continue;
                bool duplicate = false;
                for (const auto& [seen, settings] : listed)
                    duplicate = duplicate || sameEncoder(seen, options);
                if (duplicate) continue;
                XzSettings candidate = base;
                candidate.preset = preset;
                candidate.extreme = extreme;
                candidate.dictSize = exact ? 0 : info.dictSize;
                listed.emplace_back(options, candidate);
                out.push_back(candidate);
            }
    return out;
}

bool xzFindSettings(const std::string& tar, const std::string& package, XzSettings& found,
                    int* tried) {
    if (tried) *tried = 0;
    XzStreamInfo info;
    if (!readXzStreamInfo(package, info)) return false;
    int attempts = 0;
    for (const XzSettings& candidate : xzCandidates(info)) {
        // A probe that differs anywhere rules the candidate out: only the
        // ones that agree are compressed in full, most likely first.
        {
            ProgressStep probe("probe " + xzStepName(candidate), readingOf(tar, PROBE_INPUT));
            if (!xzProbe(tar, package, info, candidate, PROBE_INPUT)) continue;
        }
        if (attempts == FULL_ATTEMPTS) break;
        ++attempts;
        if (tried) *tried = attempts;
        ProgressStep attempt(xzStepName(candidate), readingOf(tar));
        CompareSink compare(package);
        if (compare.isOpen() && xzCompress(tar, candidate, compare)) {
            found = candidate;
            return true;
        }
    }
    return false;
}

uint32_t xzSettingsToParams(const XzSettings& settings) {
    return (settings.preset & 0xF) | (settings.extreme ? 0x10u : 0) |
           ((settings.check & 0xF) << 8) | (settings.multithreaded ? 0x1000u : 0);
}

XzSettings xzSettingsFromParams(uint32_t params) {
    XzSettings settings;
    settings.preset = params & 0xF;
    settings.extreme = (params & 0x10) != 0;
    settings.check = (params >> 8) & 0xF;
    settings.multithreaded = (params & 0x1000) != 0;
    return settings;
}
