#pragma once
// Rational media times: a 64-bit count of ticks over a 32-bit timescale, as the
// export and the player agree on them. Seconds as double appear only at the edges.
#include <compare>
#include <cstdint>
#include <optional>

namespace trimwell {

struct MediaTime {
    std::int64_t value{0};
    std::int32_t timescale{0}; // 0 marks an invalid time
    bool valid{false};

    static MediaTime invalid() { return {}; }
    static MediaTime zero() { return {0, 600, true}; }
    // Nearest tick; halves away from zero. Non-finite seconds give an invalid time.
    static MediaTime fromSeconds(double seconds, std::int32_t timescale);
    static MediaTime make(std::int64_t value, std::int32_t timescale);

    bool isValid() const { return valid && timescale > 0; }
    double seconds() const;                               // NaN when invalid
    MediaTime convertedTo(std::int32_t otherScale) const; // nearest tick

    friend MediaTime operator+(MediaTime a, MediaTime b);
    friend MediaTime operator-(MediaTime a, MediaTime b);
};

// Exact comparison across timescales; invalid times compare equal to nothing.
int compare(const MediaTime& a, const MediaTime& b);
inline bool operator==(const MediaTime& a, const MediaTime& b) {
    return a.isValid() && b.isValid() && compare(a, b) == 0;
}
inline bool operator<(const MediaTime& a, const MediaTime& b) {
    return compare(a, b) < 0;
}
inline bool operator<=(const MediaTime& a, const MediaTime& b) {
    return compare(a, b) <= 0;
}
inline bool operator>(const MediaTime& a, const MediaTime& b) {
    return compare(a, b) > 0;
}
inline bool operator>=(const MediaTime& a, const MediaTime& b) {
    return compare(a, b) >= 0;
}

struct TimeRange {
    MediaTime start{};
    MediaTime duration{};

    static TimeRange fromStartToEnd(MediaTime start, MediaTime end);
    bool isValid() const;
    // Valid but with zero (or negative) length.
    bool isEmpty() const;
    MediaTime end() const;
    // The overlap of two ranges; an empty range at the later start when they do not meet,
    // invalid when either is invalid.
    TimeRange intersection(const TimeRange& other) const;
};

} // namespace trimwell
