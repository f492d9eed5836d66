// The keyboard's operations: each is a round of the slider or the action of the button it
// stands for, so the rules those keep (marks apart, exact seeks, the watch at the out mark,
// nothing while saving) hold for the keys too. Playing the cut, its loop and the shuttle's
// paces are here as well.
#include "TrimwellModel.h"

#include <algorithm>
#include <cmath>

namespace trimwell {

namespace {

constexpr double kFastestPace = 8;

} // namespace

bool TrimwellModel::keysIdle() const {
    return !(duration_ > 0) || busy_ || drag_.has_value();
}

double TrimwellModel::pictureAtOrAfter(double seconds) const {
    const double target = clampToMovie(seconds);
    // Step 0 is the picture an exact seek shows; past the last picture there is none.
    const double picture = pictureTimeFrom(target, 0);
    return std::isfinite(picture) ? picture : target;
}

void TrimwellModel::playheadRoundTo(double seconds) {
    if (keysIdle() || !std::isfinite(seconds))
        return;
    beginPlayheadDrag();
    setPlayhead(clampToMovie(seconds));
    endPlayheadDrag();
}

void TrimwellModel::goToTime(double seconds) {
    if (keysIdle() || !std::isfinite(seconds))
        return;
    playheadRoundTo(pictureAtOrAfter(seconds));
}

void TrimwellModel::setInAt(double seconds) {
    // As Set In: a movie too short for a cut takes no mark.
    if (keysIdle() || !(duration_ > shortest_) || !std::isfinite(seconds))
        return;
    const double at = pictureAtOrAfter(seconds);
    beginInDrag();
    setInPoint(at);
    endInDrag();
}

void TrimwellModel::setOutAt(double seconds) {
    if (keysIdle() || !(duration_ > shortest_) || !std::isfinite(seconds))
        return;
    const double at = pictureAtOrAfter(seconds);
    beginOutDrag();
    setOutPoint(at);
    endOutDrag();
}

void TrimwellModel::goToInMark() {
    playheadRoundTo(inPoint_);
}

void TrimwellModel::goToOutMark() {
    playheadRoundTo(outPoint_);
}

void TrimwellModel::goToStart() {
    playheadRoundTo(0);
}

void TrimwellModel::goToEnd() {
    playheadRoundTo(duration_);
}

void TrimwellModel::moveBy(double seconds) {
    if (std::isfinite(seconds))
        playheadRoundTo(playhead_ + seconds);
}

void TrimwellModel::playCut() {
    if (keysIdle())
        return;
    seek(inPoint_);
    playAt(1);
}

void TrimwellModel::shuttleForward() {
    shuttle(1);
}

void TrimwellModel::shuttleBackward() {
    shuttle(-1);
}

void TrimwellModel::shuttle(int direction) {
    if (keysIdle())
        return;
    const bool playingThisWay =
        player_->timeControlStatus() != TimeControlStatus::paused && speed_ * direction > 0;
    if (playingThisWay) {
        playAt(direction * std::min(std::abs(speed_) * 2, kFastestPace));
        return;
    }
    // Forward from a stop is the Play button: playing plays the cut, so it starts from the in
    // mark unless the playhead stands inside the cut. Backward goes back from where it stands.
    if (direction > 0 && player_->timeControlStatus() == TimeControlStatus::paused) {
        togglePlay();
        return;
    }
    playAt(direction);
}

void TrimwellModel::shuttlePause() {
    if (keysIdle())
        return;
    player_->pause();
    setPlaying(false);
}

} // namespace trimwell
