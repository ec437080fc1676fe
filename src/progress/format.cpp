// The text of the progress line: byte counts, durations, the whole line.
#include <cstdio>

#include "progress/progress.h"

std::string formatByteCount(uint64_t bytes) {
    static const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    if (value < 99.95)
        snprintf(text, sizeof text, "%.1f %s", value, UNITS[unit]);
    else
        snprintf(text, sizeof text, "%.0f %s", value, UNITS[unit]);
    return text;
}

std::string formatDuration(double seconds) {
    if (!(seconds > 0)) seconds = 0;
    if (seconds > 359999) seconds = 359999;  // 99:59:59
    unsigned long total = static_cast<unsigned long>(seconds + 0.5);
    unsigned long h = total / 3600, m = (total / 60) % 60, s = total % 60;
    char text[32];
    if (h > 0)
        snprintf(text, sizeof text, "%lu:%02lu:%02lu", h, m, s);
    else
        snprintf(text, sizeof text, "%lu:%02lu", m, s);
    return text;
}

std::string formatProgressLine(const std::string& step, uint64_t done, uint64_t total,
                               double seconds, size_t width) {
    std::string amount = "  " + formatByteCount(done);
    if (total > 0) {
        uint64_t shown = done > total ? total : done;
        unsigned percent = static_cast<unsigned>(static_cast<double>(shown) * 100.0 /
                                                 static_cast<double>(total));
        amount += " / " + formatByteCount(total) + "  " + std::to_string(percent) + "%";
    }
    std::string rate, left;
    if (seconds > 0 && done > 0) {
        double perSecond = static_cast<double>(done) / seconds;
        rate = "  " + formatByteCount(static_cast<uint64_t>(perSecond)) + "/s";
        if (total > done)
            left = "  " + formatDuration(static_cast<double>(total - done) / perSecond) + " left";
    }
    // Short of room, the time left goes first, then the rate, then the end
    // of the step's name.
    if (step.size() + amount.size() + rate.size() + left.size() > width) left.clear();
    if (step.size() + amount.size() + rate.size() > width) rate.clear();
    std::string line = step;
    if (line.size() + amount.size() > width && width > amount.size() + 8)
        line.resize(width - amount.size());
    line += amount + rate + left;
    if (line.size() > width) line.resize(width);
    return line;
}
