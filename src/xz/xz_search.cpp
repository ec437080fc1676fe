// Finding the xz settings that reproduce a package: candidates from the
// recorded structure, a prefix probe of each, then full compressions
// compared against the package.
#include <lzma.h>

#include <algorithm>

#include "progress/progress.h"
#include "xz/xz.h"

namespace {

// The order presets are tried in when several share a dictionary: the
// default first, then the strongest, then the rest.
constexpr uint32_t PRESET_ORDER[] = {6, 9, 7, 8, 5, 4, 3, 2, 1, 0};
constexpr uint64_t PROBE_INPUT = 8u << 20;
constexpr int FULL_ATTEMPTS = 3;

uint32_t presetDictionary(uint32_t preset) {
    lzma_options_lzma options;
    return lzma_lzma_preset(&options, preset) ? 0 : options.dict_size;
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
    // The single-threaded encoder writes one block without sizes.
    if (!info.sizesInHeaders && info.blockCount != 1) return out;
    XzSettings base;
    base.check = info.check;
    base.multithreaded = info.sizesInHeaders;
    if (base.multithreaded) {
        // One block says only that the block size was at least its length;
        // the encoder's default is then as good as any.
        uint64_t defaultSize = std::max<uint64_t>(3ull * info.dictSize, 1u << 20);
        if (info.blockCount > 1 || info.firstBlockUncompressed > defaultSize)
            base.blockSize = info.firstBlockUncompressed;
    }
    bool exact = false;
    for (uint32_t preset : PRESET_ORDER) exact = exact || presetDictionary(preset) == info.dictSize;
    for (uint32_t preset : PRESET_ORDER) {
        uint32_t dictionary = presetDictionary(preset);
        if (exact ? dictionary != info.dictSize : dictionary < info.dictSize) continue;
        for (bool extreme : {false, true}) {
            XzSettings candidate = base;
            candidate.preset = preset;
            candidate.extreme = extreme;
            candidate.dictSize = exact ? 0 : info.dictSize;
            out.push_back(candidate);
        }
    }
    return out;
}

bool xzFindSettings(const std::string& tar, const std::string& package, XzSettings& found,
                    int* tried) {
    if (tried) *tried = 0;
    XzStreamInfo info;
    if (!readXzStreamInfo(package, info)) return false;
    std::vector<XzSettings> candidates = xzCandidates(info);
    std::vector<std::pair<uint64_t, size_t>> ranked;
    for (size_t i = 0; i < candidates.size(); ++i) {
        ProgressStep probe("probe " + xzStepName(candidates[i]), readingOf(tar, PROBE_INPUT));
        ranked.emplace_back(xzProbe(tar, package, info, candidates[i], PROBE_INPUT), i);
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    int attempts = 0;
    for (const auto& [score, index] : ranked) {
        // A candidate whose probe fell far behind the best one has differed
        // where the best agreed: it cannot make the package.
        if (attempts == FULL_ATTEMPTS || (attempts > 0 && score < ranked.front().first / 2)) break;
        ++attempts;
        if (tried) *tried = attempts;
        ProgressStep attempt(xzStepName(candidates[index]), readingOf(tar));
        CompareSink compare(package);
        if (compare.isOpen() && xzCompress(tar, candidates[index], compare)) {
            found = candidates[index];
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
