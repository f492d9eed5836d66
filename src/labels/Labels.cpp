#include "Labels.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace trimwell {

// Halves away from zero, held in a signed 64-bit integer; saturates far out of range.
static std::int64_t roundWhole(double x) {
    const double r = std::round(x);
    if (r >= 9.2e18)
        return std::numeric_limits<std::int64_t>::max();
    if (r <= -9.2e18)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

static std::string printf1(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string cutClock(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0)
        return "0:00.0";
    const std::int64_t tenths = roundWhole(seconds * 10);
    const std::int64_t minutes = tenths / 600;
    const std::int64_t wholeSeconds = (tenths / 10) % 60;
    const std::int64_t tenth = tenths % 10;
    char text[64];
    std::snprintf(text, sizeof text, "%lld:%02lld.%lld", static_cast<long long>(minutes),
                  static_cast<long long>(wholeSeconds), static_cast<long long>(tenth));
    return text;
}

std::string aboutLabel(double bytes) {
    if (!std::isfinite(bytes) || bytes <= 0)
        return "About 0 MB";
    if (bytes < 1'000'000) {
        std::int64_t n = roundWhole(bytes / 1'000);
        if (n < 1)
            n = 1;
        return "About " + std::to_string(n) + " KB";
    }
    const double mb = bytes / 1'000'000;
    if (mb < 10)
        return printf1("About %.1f MB", mb);
    return "About " + std::to_string(roundWhole(mb)) + " MB";
}

std::string aboutText(double duration, double inPoint, double outPoint, double megabits,
                      bool hasAudio) {
    if (!(duration > 0))
        return "Open a movie to see the size.";
    double length = outPoint - inPoint;
    if (length < 0)
        length = 0;
    const double rate = megabits * 1'000'000 + (hasAudio ? 160'000 : 0);
    return aboutLabel(length * (rate * 0.125));
}

std::string bitRateText(double megabits) {
    return printf1("%.1f Mb/s", megabits);
}

std::string formatNumber(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    std::string out(text, result.ptr);
    if (std::isfinite(value) && out.find_first_of(".e") == std::string::npos)
        out += ".0";
    return out;
}

} // namespace trimwell
