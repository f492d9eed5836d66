// The playback clock: play and pause, exact seeks, the playhead following the player twenty
// times a second, and the watch that pauses playback at the out mark.
#include "TrimwellModel.h"

#include "platform/ui/MainQueue.h"

#include <QPointer>

#include <cmath>

namespace trimwell {

namespace {

// The player gets times on the same 600-ticks-per-second grid as the clip writer, so a mark
// means the same instant to both.
double onTickGrid(double seconds) {
    return std::round(seconds * 600.0) / 600.0;
}

// A time within this much before the out mark counts as being at the end.
constexpr double kEndSlack = 0.02;

} // namespace

void TrimwellModel::togglePlay() {
    if (!(duration_ > 0) || busy_)
        return;
    // A player waiting to play (buffering) is asked to play again rather than paused.
    if (player_->timeControlStatus() == TimeControlStatus::playing) {
        player_->pause();
        setPlaying(false);
        return;
    }
    // Playback plays the cut: from the in mark unless the player already stands inside it.
    const double t = player_->currentTime();
    if (!std::isfinite(t) || t < inPoint_ || t >= outPoint_ - kEndSlack)
        seek(inPoint_);
    playAt(1);
}

void TrimwellModel::playAt(double pace) {
    player_->setPlaybackSpeed(pace);
    player_->play();
    setPlaying(true);
    setSpeed(pace);
}

void TrimwellModel::armClock() {
    if (timeToken_)
        return;
    const ObserverToken token = player_->addPeriodicTimeObserver(
        onTickGrid(0.05), [self = QPointer<TrimwellModel>(this), seeks = seeks_](double seconds) {
            mainQueue().post([self, seconds, seekCount = seeks->load()] {
                if (self)
                    self->notePlayhead(seconds, seekCount);
            });
        });
    setTimeToken(token);
}

void TrimwellModel::notePlayhead(double seconds, std::uint64_t seekCount) {
    // A nonzero rate keeps playing true while the player waits to play, and a zero rate makes
    // it false when the player stopped by itself.
    setPlaying(player_->timeControlStatus() == TimeControlStatus::playing || player_->rate() != 0);
    // While the playhead slider is held, the slider alone owns the playhead. A time read
    // before the newest seek would undo a frame step made in the meantime, and the next
    // step would then go to the picture already shown.
    if (drag_ == Drag::playhead || !std::isfinite(seconds) || seekCount != seeks_->load())
        return;
    setPlayhead(duration_ > 0 ? clampToMovie(seconds) : seconds);
}

void TrimwellModel::seek(double to) {
    if (!(duration_ > 0) || !std::isfinite(to))
        return;
    const double target = clampToMovie(to);
    seeks_->fetch_add(1);
    player_->seekExactly(onTickGrid(target));
    if (drag_ != Drag::playhead)
        setPlayhead(target);
}

void TrimwellModel::refreshEndWatch() {
    if (boundaryToken_) {
        player_->removeTimeObserver(*boundaryToken_);
        setBoundaryToken(std::nullopt);
    }
    if (!(duration_ > 0))
        return;
    const double end = clampToMovie(outPoint_);
    const ObserverToken token =
        player_->addBoundaryTimeObserver(onTickGrid(end), [self = QPointer<TrimwellModel>(this)] {
            mainQueue().post([self] {
                if (!self)
                    return;
                // Looping, playing forward starts again at the in mark; a pause that came
                // first wins.
                if (self->loopCut_ && self->speed_ > 0 &&
                    self->player_->timeControlStatus() != TimeControlStatus::paused) {
                    self->seek(self->inPoint_);
                    return;
                }
                // Only playback stops: the player stays at the out mark and the clock keeps
                // reporting where it stopped.
                self->player_->pause();
                self->setPlaying(false);
            });
        });
    setBoundaryToken(token);
}

} // namespace trimwell
