// The cut marks: placing them from the playhead, the three slider drags, and the rule that
// keeps both marks inside the movie and at least the shortest cut apart.
#include "TrimwellModel.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace trimwell {

void TrimwellModel::setInFromPlayhead() {
    if (!(duration_ > shortest_) || busy_)
        return;
    setInside(true);
    setInPoint(clampToMovie(playhead_));
    pullApart(Drag::inMark);
    setInside(false);
    // The out mark may have moved; playback must stop at the new one.
    refreshEndWatch();
}

void TrimwellModel::setOutFromPlayhead() {
    if (!(duration_ > shortest_) || busy_)
        return;
    setInside(true);
    setOutPoint(clampToMovie(playhead_));
    pullApart(Drag::outMark);
    setInside(false);
    refreshEndWatch();
}

double TrimwellModel::pictureTimeFrom(double seconds, int steps) const {
    if (!(duration_ > 0) || !std::isfinite(seconds))
        return std::numeric_limits<double>::quiet_NaN();
    const double t = player_->pictureTimeFrom(clampToMovie(seconds), steps);
    return std::isfinite(t) ? clampToMovie(t) : t;
}

void TrimwellModel::beginPlayheadDrag() {
    setDrag(Drag::playhead);
    player_->pause();
    setPlaying(false);
}

void TrimwellModel::beginInDrag() {
    setDrag(Drag::inMark);
    player_->pause();
    setPlaying(false);
}

void TrimwellModel::beginOutDrag() {
    setDrag(Drag::outMark);
    player_->pause();
    setPlaying(false);
}

void TrimwellModel::playheadDragged() {
    if (drag_ != Drag::playhead || inside_)
        return;
    seek(playhead_);
}

void TrimwellModel::inDragged() {
    if (drag_ != Drag::inMark || inside_)
        return;
    setInside(true);
    pullApart(Drag::inMark);
    setInside(false);
    // The preview and the playhead follow the mark being dragged.
    seek(inPoint_);
}

void TrimwellModel::outDragged() {
    if (drag_ != Drag::outMark || inside_)
        return;
    setInside(true);
    pullApart(Drag::outMark);
    setInside(false);
    seek(outPoint_);
}

void TrimwellModel::endPlayheadDrag() {
    playheadDragged();
    setDrag(std::nullopt);
}

void TrimwellModel::endInDrag() {
    inDragged();
    setDrag(std::nullopt);
    refreshEndWatch();
}

void TrimwellModel::endOutDrag() {
    outDragged();
    setDrag(std::nullopt);
    refreshEndWatch();
}

void TrimwellModel::pullApart(Drag anchor) {
    if (!(duration_ > shortest_))
        return;
    setInPoint(clampToMovie(inPoint_));
    setOutPoint(clampToMovie(outPoint_));
    if (outPoint_ - inPoint_ >= shortest_)
        return;

    // out - shortest and in + shortest can round so that the difference comes out a hair
    // below shortest, and canSave would then refuse the very cut the model just made. Step
    // the moving mark outward by the last bit until the gap really holds.
    const auto before = [this](double out) {
        double in = std::max(out - shortest_, 0.0);
        while (in > 0 && out - in < shortest_)
            in = std::nextafter(in, 0.0);
        return in;
    };
    const auto after = [this](double in) {
        double out = std::min(in + shortest_, duration_);
        while (out < duration_ && out - in < shortest_)
            out = std::nextafter(out, duration_);
        return out;
    };

    // The mark that was not placed gives way first; the placed one moves only when the other
    // is held by the start or the end of the movie.
    if (anchor == Drag::outMark) {
        setInPoint(before(outPoint_));
        if (outPoint_ - inPoint_ < shortest_)
            setOutPoint(after(inPoint_));
    } else {
        setOutPoint(after(inPoint_));
        if (outPoint_ - inPoint_ < shortest_)
            setInPoint(before(outPoint_));
    }
}

} // namespace trimwell
