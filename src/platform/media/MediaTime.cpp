#include "MediaTime.h"

#include "MediaSettings.h"

#include <cmath>
#include <limits>
#include <numeric>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace trimwell {

MediaTime MediaTime::fromSeconds(double seconds, std::int32_t timescale) {
    if (!std::isfinite(seconds) || timescale <= 0)
        return invalid();
    const double ticks = std::round(seconds * timescale);
    if (std::fabs(ticks) >= 9.2e18)
        return invalid();
    return {static_cast<std::int64_t>(ticks), timescale, true};
}

MediaTime MediaTime::make(std::int64_t value, std::int32_t timescale) {
    if (timescale <= 0)
        return invalid();
    return {value, timescale, true};
}

double MediaTime::seconds() const {
    if (!isValid())
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(value) / timescale;
}

MediaTime MediaTime::convertedTo(std::int32_t otherScale) const {
    if (!isValid() || otherScale <= 0)
        return invalid();
    return {av_rescale_rnd(value, otherScale, timescale,
                           static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX)),
            otherScale, true};
}

static std::int32_t commonScale(std::int32_t a, std::int32_t b) {
    const std::int64_t l = std::lcm<std::int64_t>(a, b);
    return l <= std::numeric_limits<std::int32_t>::max() ? static_cast<std::int32_t>(l)
                                                         : std::max(a, b);
}

MediaTime operator+(MediaTime a, MediaTime b) {
    if (!a.isValid() || !b.isValid())
        return MediaTime::invalid();
    const std::int32_t s = commonScale(a.timescale, b.timescale);
    return {a.convertedTo(s).value + b.convertedTo(s).value, s, true};
}

MediaTime operator-(MediaTime a, MediaTime b) {
    if (!a.isValid() || !b.isValid())
        return MediaTime::invalid();
    const std::int32_t s = commonScale(a.timescale, b.timescale);
    return {a.convertedTo(s).value - b.convertedTo(s).value, s, true};
}

int compare(const MediaTime& a, const MediaTime& b) {
    if (!a.isValid() || !b.isValid())
        return a.isValid() - b.isValid();
    return av_compare_ts(a.value, AVRational{1, a.timescale}, b.value, AVRational{1, b.timescale});
}

TimeRange TimeRange::fromStartToEnd(MediaTime start, MediaTime end) {
    return {start, end - start};
}

bool TimeRange::isValid() const {
    return start.isValid() && duration.isValid() && duration.value >= 0;
}

bool TimeRange::isEmpty() const {
    return isValid() && duration.value == 0;
}

MediaTime TimeRange::end() const {
    return start + duration;
}

TimeRange TimeRange::intersection(const TimeRange& other) const {
    if (!isValid() || !other.isValid())
        return {};
    const MediaTime s = start > other.start ? start : other.start;
    const MediaTime e1 = end(), e2 = other.end();
    MediaTime e = e1 < e2 ? e1 : e2;
    if (e < s)
        e = s;
    return fromStartToEnd(s, e);
}

} // namespace trimwell

namespace trimwell {

std::int32_t pictureTimescale(MediaTime frameDuration) {
    constexpr std::int32_t kFinest = 90000;
    if (!frameDuration.isValid() || frameDuration.value <= 0 || frameDuration.timescale <= 0 ||
        frameDuration.timescale > kFinest * 4)
        return kFinest;
    const std::int32_t own = frameDuration.timescale;
    return own * ((kFinest + own - 1) / own);
}

} // namespace trimwell
