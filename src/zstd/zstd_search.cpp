// Finding the zstd settings that reproduce a package: candidates from the
// frame header, a header probe and a prefix probe of each, then full
// compressions compared against the package.
#include <zstd.h>

#include <algorithm>

#include "progress/progress.h"
#include "zstd/zstd.h"

namespace {

constexpr uint64_t PROBE_INPUT = 2u << 20;
constexpr int FULL_ATTEMPTS = 4;

uint64_t sizeOf(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return 0;
    off_t end = fseeko(file, 0, SEEK_END) == 0 ? ftello(file) : 0;
    fclose(file);
    return end > 0 ? static_cast<uint64_t>(end) : 0;
}

// "zstd -19 --long": the candidate as the progress line names it.
std::string zstdStepName(const ZstdSettings& settings) {
    return "zstd -" + std::to_string(settings.level) + (settings.longMode ? " --long" : "");
}

// Leading bytes of the package that the candidate's output agrees with when
// it compresses `limit` bytes of the tar (the whole tar when limit is 0 or
// beyond its end).
uint64_t agreement(const std::string& tar, const std::string& package, const ZstdSettings& settings,
                   uint64_t limit, uint64_t tarSize, bool& whole) {
    ProgressStep step("probe " + zstdStepName(settings), readingOf(tar, limit));
    CompareSink compare(package);
    whole = zstdCompress(tar, settings, compare, limit >= tarSize ? 0 : limit);
    return compare.matched();
}

}  // namespace

std::vector<ZstdSettings> zstdCandidates(const ZstdFrameInfo& info) {
    std::vector<ZstdSettings> out;
    if (!info.singleFrame || info.dictionaryId != 0) return out;
    std::vector<int> levels = {3, 19};
    for (int level = 1; level <= ZSTD_maxCLevel(); ++level)
        if (level != 3 && level != 19) levels.push_back(level);
    // A window beyond every level's own is long mode's or an explicit one.
    uint32_t windowLog = 0;
    while ((1ull << (windowLog + 1)) <= info.windowSize) ++windowLog;
    for (bool multithreaded : {true, false})
        for (int level : levels)
            for (bool longMode : {false, true}) {
                ZstdSettings settings;
                settings.level = level;
                settings.checksum = info.checksum;
                settings.contentSize = info.contentSizePresent;
                settings.multithreaded = multithreaded;
                settings.longMode = longMode;
                if (longMode && !info.singleSegment && windowLog > 27) settings.windowLog = windowLog;
                out.push_back(settings);
            }
    return out;
}

bool zstdFindSettings(const std::string& tar, const std::string& package, ZstdSettings& found,
                      int* tried) {
    if (tried) *tried = 0;
    ZstdFrameInfo info;
    if (!readZstdFrameInfo(package, info)) return false;
    uint64_t tarSize = sizeOf(tar);
    std::vector<ZstdSettings> candidates = zstdCandidates(info);
    int attempts = 0;
    std::vector<bool> compressed(candidates.size(), false);
    auto full = [&](size_t index) {
        ++attempts;
        if (tried) *tried = attempts;
        compressed[index] = true;
        ProgressStep attempt(zstdStepName(candidates[index]), readingOf(tar));
        CompareSink compare(package);
        return compare.isOpen() && zstdCompress(tar, candidates[index], compare);
    };
    std::vector<std::pair<uint64_t, size_t>> ranked;
    for (size_t i = 0; i < candidates.size() && attempts < FULL_ATTEMPTS; ++i) {
        // The frame header names the window, the flags and the size: one
        // input byte shows whether a candidate writes the same header.
        bool whole = false;
        if (agreement(tar, package, candidates[i], 1, tarSize, whole) < info.headerSize) continue;
        uint64_t agreed = whole ? 0 : agreement(tar, package, candidates[i], PROBE_INPUT, tarSize, whole);
        if (whole) {
            found = candidates[i];
            return true;
        }
        // Blocks before the flush at the end of the prefix are the full
        // compression's: agreement past the first block is a strong sign.
        if (agreed > info.firstBlockEnd && full(i)) {
            found = candidates[i];
            return true;
        }
        ranked.emplace_back(agreed, i);
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [score, index] : ranked) {
        if (attempts == FULL_ATTEMPTS || score < ranked.front().first / 2) break;
        if (compressed[index]) continue;
        if (full(index)) {
            found = candidates[index];
            return true;
        }
    }
    return false;
}

uint32_t zstdSettingsToParams(const ZstdSettings& settings) {
    return (static_cast<uint32_t>(settings.level) & 0x1F) | (settings.checksum ? 0x20u : 0) |
           (settings.contentSize ? 0x40u : 0) | (settings.longMode ? 0x80u : 0) |
           ((settings.windowLog & 0x1F) << 8) | (settings.multithreaded ? 0x2000u : 0);
}

ZstdSettings zstdSettingsFromParams(uint32_t params) {
    ZstdSettings settings;
    settings.level = static_cast<int>(params & 0x1F);
    settings.checksum = (params & 0x20) != 0;
    settings.contentSize = (params & 0x40) != 0;
    settings.longMode = (params & 0x80) != 0;
    settings.windowLog = (params >> 8) & 0x1F;
    settings.multithreaded = (params & 0x2000) != 0;
    return settings;
}
