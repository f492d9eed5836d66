#include "TimelineView.h"

#include <algorithm>
#include <cmath>

namespace trimwell {

namespace {

// Below this a key frame each is all a movie has; finer grids only ask for the same one again.
constexpr double kFinestStep = 1.0 / 8;

bool usable(double value) {
    return std::isfinite(value) && value > 0;
}

} // namespace

void TimelineView::setDuration(double seconds) {
    duration_ = usable(seconds) ? seconds : 0;
    start_ = 0;
    span_ = duration_;
}

void TimelineView::setStrip(double width, double pictureWidth) {
    width_ = usable(width) ? width : 0;
    pictureWidth_ = usable(pictureWidth) ? pictureWidth : 0;
    place(start_, span_);
}

double TimelineView::pictureCount() const {
    if (!(width_ > 0) || !(pictureWidth_ > 0))
        return 1;
    return std::max(1.0, width_ / pictureWidth_);
}

double TimelineView::shortestSpan() const {
    return std::min(duration_, pictureCount());
}

bool TimelineView::place(double start, double span) {
    const double newSpan =
        std::clamp(std::isfinite(span) ? span : duration_, shortestSpan(), duration_);
    const double newStart =
        std::clamp(std::isfinite(start) ? start : 0.0, 0.0, duration_ - newSpan);
    if (newStart == start_ && newSpan == span_)
        return false;
    start_ = newStart;
    span_ = newSpan;
    return true;
}

bool TimelineView::zoomAround(double seconds, double factor, double fraction) {
    if (!usable(factor) || !(duration_ > 0))
        return false;
    seconds = std::clamp(std::isfinite(seconds) ? seconds : start_, 0.0, duration_);
    fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.5, 0.0, 1.0);
    const double newSpan = std::clamp(span_ / factor, shortestSpan(), duration_);
    return place(seconds - fraction * newSpan, newSpan);
}

bool TimelineView::scrollTo(double seconds) {
    return place(seconds, span_);
}

bool TimelineView::showWhole() {
    return place(0, duration_);
}

double TimelineView::xAt(double seconds) const {
    if (!(span_ > 0))
        return 0;
    return (seconds - start_) / span_ * width_;
}

double TimelineView::secondsAt(double x) const {
    if (!(width_ > 0))
        return start_;
    return std::clamp(start_ + x / width_ * span_, 0.0, duration_);
}

double TimelineView::step() const {
    const double perPicture = span_ / pictureCount();
    if (!(perPicture > 0))
        return 1;
    return std::max(kFinestStep, std::exp2(std::round(std::log2(perPicture))));
}

std::vector<double> TimelineView::wantedTimes() const {
    std::vector<double> times;
    if (!(duration_ > 0) || !(width_ > 0))
        return times;
    const double grid = step();
    // Whole multiples of the grid, so the same time is asked for by every view that wants it.
    auto index = static_cast<long long>(std::floor(start_ / grid));
    for (double t = index * grid; t < end() && t < duration_; t = (++index) * grid)
        times.push_back(t);
    return times;
}

} // namespace trimwell
