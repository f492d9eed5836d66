// Seeking and frame steps: a held key never piles up seeks, and a step to the next
// picture decodes one picture instead of seeking from the key frame before.
#include "detail/MpvPlayerImpl.h"

#include "platform/media/PlatformError.h"

#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

namespace trimwell {

void MpvPlayer::Impl::seekExactly(double seconds) {
    // An item that could not be opened has nothing to seek in.
    if (!item_ || ended_ || !std::isfinite(seconds))
        return;
    // Already the newest target: its picture is on the way.
    if (seekTarget_ && *seekTarget_ == seconds && (landing_ || pendingSeek_))
        return;
    seekTarget_ = seconds;
    if (!loaded_) {
        pendingSeek_ = seconds;
        return;
    }
    if (landing_) {
        queuedSeek_ = seconds;
        return;
    }
    startSeek(seconds);
}

void MpvPlayer::Impl::takeQueuedSeek() {
    if (queuedSeek_)
        startSeek(*std::exchange(queuedSeek_, std::nullopt));
    else if (!landing_)
        seekTarget_.reset();
}

void MpvPlayer::Impl::startSeek(double seconds) {
    if (!isNextPicture(seconds)) {
        issueSeek(seconds);
        return;
    }
    // Decoding on by one picture is much quicker than an exact seek, which decodes from the
    // key frame before. Muted, so the picture's moment of sound does not click.
    const char* step[] = {"frame-step", nullptr};
    setDropping(false);
    setMuted(true);
    if (mpv_command_async(core_.get(), stepReply, step) < 0) {
        setMuted(false);
        issueSeek(seconds);
        return;
    }
    stepping_ = true;
    landing_ = true;
    stepTarget_ = seconds;
    const std::uint64_t serial = ++stepSerial_;
    QTimer::singleShot(kStepPatienceMs, &context_, [this, serial] {
        if (stepping_ && serial == stepSerial_)
            abandonStep();
    });
}

void MpvPlayer::Impl::abandonStep() {
    const double target = queuedSeek_.value_or(stepTarget_);
    endStepState();
    queuedSeek_.reset();
    issueSeek(target);
}

bool MpvPlayer::Impl::isNextPicture(double seconds) {
    if (!ready_ || seeking_ || seeksInFlight_ > 0 || !paused_ || eofReached_)
        return false;
    const double shown = shownTime();
    if (!std::isfinite(shown))
        return false;
    const double next = pictureTimeFrom(shown, 1);
    return std::isfinite(next) && std::abs(next - seconds) <= kPictureTolerance;
}

void MpvPlayer::Impl::finishStep(double shownAt) {
    const double target = stepTarget_;
    endStepState();
    landing_ = false;
    lastPlayedTime_ = shownAt;
    // A step that went past its picture (one dropped on the way) is put right exactly.
    if (!queuedSeek_ && shownAt > target + kPictureTolerance)
        queuedSeek_ = target;
    takeQueuedSeek();
}

void MpvPlayer::Impl::endStepState() {
    if (!stepping_)
        return;
    stepping_ = false;
    ++stepSerial_;
    int yes = 1;
    if (mpv_set_property(core_.get(), "pause", MPV_FORMAT_FLAG, &yes) >= 0)
        paused_ = true;
    setMuted(false);
}

void MpvPlayer::Impl::setMuted(bool on) {
    // A known flag property set with a flag cannot fail.
    int mute = on ? 1 : 0;
    mpv_set_property(core_.get(), "mute", MPV_FORMAT_FLAG, &mute);
}

PictureTimes* MpvPlayer::Impl::pictureTimes() const {
    if (!item_ || path_.empty() || pictureTimesFailed_)
        return nullptr;
    if (!pictureTimes_) {
        try {
            pictureTimes_ = std::make_unique<PictureTimes>(path_);
        } catch (const PlatformError&) {
            pictureTimesFailed_ = true;
            return nullptr;
        }
    }
    return pictureTimes_.get();
}

double MpvPlayer::Impl::pictureTimeFrom(double seconds, int steps) {
    PictureTimes* times = pictureTimes();
    return times ? times->step(seconds, steps) : kNaN;
}

void MpvPlayer::Impl::issueSeek(double seconds) {
    // A node command carries the time as a double, untouched by any text formatting.
    char seek[] = "seek";
    char flags[] = "absolute+exact";
    mpv_node args[3]{};
    args[0].format = MPV_FORMAT_STRING;
    args[0].u.string = seek;
    args[1].format = MPV_FORMAT_DOUBLE;
    // libmpv counts a negative time back from the end; a time before its zero shows the
    // same first picture as its zero does.
    args[1].u.double_ = std::max(0.0, seconds - clockOffset_);
    args[2].format = MPV_FORMAT_STRING;
    args[2].u.string = flags;
    mpv_node_list list{};
    list.num = 3;
    list.values = args;
    mpv_node command{};
    command.format = MPV_FORMAT_NODE_ARRAY;
    command.u.list = &list;
    if (mpv_command_node_async(core_.get(), seekReply, &command) >= 0) {
        ++seeksInFlight_;
        landing_ = true;
    } else {
        seekTarget_.reset();
    }
}

} // namespace trimwell
