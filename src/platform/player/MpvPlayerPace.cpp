// The pace and direction of playing: libmpv's speed, with the sound's pitch kept by its
// scaletempo filter (audio-pitch-correction, on by default), and its backward playing,
// silent. Both hold only while playing: a pause puts the player forward at the normal pace,
// so the frame steps and exact seeks that follow work as they always do.
#include "detail/MpvPlayerImpl.h"

#include <algorithm>
#include <cmath>

namespace trimwell {

void MpvPlayer::setPlaybackSpeed(double speed) {
    impl_->setPlaybackSpeed(speed);
}

void MpvPlayer::Impl::setPlaybackSpeed(double pace) {
    pace_ = std::isfinite(pace) && pace != 0 ? pace : 1.0;
    if (!paused_ && !stepping_)
        applyPace(true);
}

void MpvPlayer::Impl::applyPace(bool playing) {
    const double pace = playing ? pace_ : 1.0;
    // Asynchronous, as the main thread never waits on libmpv's core.
    double speed = std::abs(pace);
    mpv_set_property_async(core_.get(), 0, "speed", MPV_FORMAT_DOUBLE, &speed);
    const bool backward = pace < 0;
    if (backward == backward_)
        return;
    backward_ = backward;
    // From the end itself libmpv finds nothing to play backward and stands still; it starts
    // from the last picture instead.
    if (backward && eofReached_)
        seekExactly(lastPictureTime());
    // libmpv seeks to where it stands when the direction changes; it is set only on a change.
    const char* direction = backward ? "backward" : "forward";
    mpv_set_property_async(core_.get(), 0, "play-dir", MPV_FORMAT_STRING, &direction);
    // Sound played backward is noise; a frame step mutes and unmutes on its own.
    int mute = backward ? 1 : 0;
    mpv_set_property_async(core_.get(), 0, "mute", MPV_FORMAT_FLAG, &mute);
}

double MpvPlayer::Impl::lastPictureTime() {
    const double end = duration();
    if (!std::isfinite(end))
        return kNaN;
    double last = kNaN;
    for (double t = pictureTimeFrom(std::max(0.0, end - 1.0), 0); std::isfinite(t);
         t = pictureTimeFrom(t, 1))
        last = t;
    return last;
}

} // namespace trimwell
