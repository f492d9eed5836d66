// The current item and playing it: loading a movie, its tracks, play and pause, and the
// time and length it reports.
#include "detail/MpvPlayerImpl.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <utility>

namespace trimwell {

void MpvPlayer::Impl::replaceCurrentItem(const std::optional<std::string>& path) {
    forgetItemState();
    if (!path) {
        item_ = false;
        expectedEntry_ = -1;
        const char* stop[] = {"stop", nullptr};
        // Ignored: "stop" only fails on a core that is gone, and this one lives as we do.
        mpv_command(core_.get(), stop);
        return;
    }
    item_ = true;
    expectedEntry_ = -1;
    path_ = *path;
    // An HDR movie's filters are in place before its first picture is decoded: set later,
    // they would reach a paused picture only when libmpv decodes it again.
    const PictureStream picture = pictureStreamOf(path_);
    turn_ = picture.turn;
    sound_ = picture.sound;
    origin_ = picture.origin;
    hdrFilters_ = picture.hdr;
    if (picture.hdr)
        makeLook(picture.index);
    setPictureFilters();
    // The last movie's track choice must not carry over to this one before its own is known.
    for (const char* kind : {"vid", "aid"})
        mpv_set_property_string(core_.get(), kind, "auto");
    // An absolute path never reads as a URL or a protocol of libmpv's.
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(*path, error);
    const std::string file = error ? *path : absolute.string();
    const char* load[] = {"loadfile", file.c_str(), "replace", nullptr};
    MpvNodeResult result;
    if (mpv_command_ret(core_.get(), load, &result.node) < 0 ||
        result.node.format != MPV_FORMAT_NODE_MAP) {
        ended_ = true;
        return;
    }
    const mpv_node_list* map = result.node.u.list;
    for (int i = 0; i < map->num; ++i)
        if (std::strcmp(map->keys[i], "playlist_entry_id") == 0 &&
            map->values[i].format == MPV_FORMAT_INT64)
            expectedEntry_ = map->values[i].u.int64;
}

void MpvPlayer::Impl::forgetItemState() {
    endStepState();
    landing_ = false;
    queuedSeek_.reset();
    path_.clear();
    pictureTimes_.reset();
    pictureTimesFailed_ = false;
    loaded_ = false;
    ready_ = false;
    ended_ = false;
    pendingSeek_.reset();
    seekTarget_.reset();
    lastPlayedTime_ = kNaN;
    origin_ = 0;
    clockOffset_ = 0;
}

void MpvPlayer::Impl::selectTracks(int pictureOrdinal, int soundOrdinal) {
    if (!item_)
        return;
    // libmpv numbers each kind's tracks from 1 in the file's order, as the asset counts them.
    // A track it cannot select leaves its own choice playing; nothing else depends on it.
    if (pictureOrdinal > 0) {
        std::int64_t id = pictureOrdinal;
        mpv_set_property(core_.get(), "vid", MPV_FORMAT_INT64, &id);
    }
    if (soundOrdinal > 0) {
        std::int64_t id = soundOrdinal;
        mpv_set_property(core_.get(), "aid", MPV_FORMAT_INT64, &id);
    }
}

bool MpvPlayer::Impl::hasItem() const {
    return item_;
}

void MpvPlayer::Impl::play() {
    if (stepping_) {
        endStepState();
        landing_ = false;
        // Played from here on, never stepped to.
        if (queuedSeek_)
            issueSeek(*std::exchange(queuedSeek_, std::nullopt));
    }
    // Behind the sound, libmpv skips decoding pictures nothing refers to; a step or a paused
    // picture, the one asked for, is never skipped.
    setDropping(true);
    applyPace(true);
    int no = 0;
    // Setting a known flag property with a flag cannot fail; the check is only for paused_.
    if (mpv_set_property(core_.get(), "pause", MPV_FORMAT_FLAG, &no) >= 0)
        paused_ = false;
}

void MpvPlayer::Impl::setDropping(bool decoder) {
    // Asynchronous: the main thread never waits on libmpv's core, which may be waiting for it.
    // A picture late for its sound is shown late rather than dropped once it has been decoded
    // and filtered: the decoder's skipping catches up with the sound, and dropping filtered
    // pictures as well threw away most of what a 2160p HDR movie cost. Without sound there
    // is nothing for the decoder to be late against, and the output drops as before.
    const char* mode = !decoder ? "vo" : sound_ ? "decoder" : "decoder+vo";
    mpv_set_property_async(core_.get(), 0, "framedrop", MPV_FORMAT_STRING, &mode);
}

void MpvPlayer::Impl::pause() {
    setDropping(false);
    int yes = 1;
    if (mpv_set_property(core_.get(), "pause", MPV_FORMAT_FLAG, &yes) >= 0)
        paused_ = true;
    applyPace(false);
}

double MpvPlayer::Impl::rate() const {
    // A frame step plays for one picture; to everyone else the player stays paused.
    return stepping_ || paused_ ? 0 : pace_;
}

TimeControlStatus MpvPlayer::Impl::timeControlStatus() const {
    if (stepping_ || paused_)
        return TimeControlStatus::paused;
    // core-idle: asked to play but not advancing (no item yet, opening, seeking, buffering).
    if (!item_ || coreIdle_)
        return TimeControlStatus::waitingToPlay;
    return TimeControlStatus::playing;
}

double MpvPlayer::Impl::currentTime() const {
    if (!item_)
        return kNaN;
    if (seekTarget_)
        return *seekTarget_;
    return ready_ ? shownTime() : kNaN;
}

double MpvPlayer::Impl::shownTime() const {
    return readDouble("time-pos") + clockOffset_;
}

double MpvPlayer::Impl::readDouble(const char* name) const {
    double value = kNaN;
    if (mpv_get_property(core_.get(), name, MPV_FORMAT_DOUBLE, &value) < 0)
        return kNaN;
    return value;
}

double MpvPlayer::Impl::duration() const {
    if (!item_ || !loaded_)
        return kNaN;
    // The length the file's own times say, as the movie's inspection reads it: a recording
    // written as a stream states none, and libmpv then guesses from what it has read so far.
    if (const PictureTimes* times = pictureTimes(); times && times->length() > 0)
        return times->length();
    return readDouble("duration");
}

} // namespace trimwell
