// The player's life and libmpv's events: the core and its render context, the options
// it runs with, the events drained on the main thread, and MpvPlayer's calls into Impl.
#include "MpvPlayer.h"
#include "detail/MpvPlayerImpl.h"

#include "platform/media/PlatformError.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace trimwell {

namespace {

// What libmpv reads besides the file: nothing of the user's mpv set-up, no on-screen text
// over the picture (the preview must match the saved cut), and a picture that plays on
// without a sound device.
constexpr const char* kOptions[][2] = {
    {"config", "no"},
    {"load-scripts", "no"},
    {"input-default-bindings", "no"},
    {"input-vo-keyboard", "no"},
    {"osc", "no"},
    {"ytdl", "no"},
    {"terminal", "no"},
    {"resume-playback", "no"},
    {"idle", "yes"},
    {"vo", "libmpv"},
    {"ao", "pulse,alsa"},
    {"audio-fallback-to-null", "yes"},
    {"audio-client-name", "Trimwell"},
    {"keep-open", "yes"},
    {"pause", "yes"},
    {"hr-seek", "yes"},
    // MPEG program and transport streams seek coarsely; starting the demuxer a second
    // early lets the exact seek decode up to the frame asked for instead of past it.
    {"hr-seek-demuxer-offset", "1"},
    {"osd-level", "0"},
    {"osd-bar", "no"},
    {"sid", "no"},
    {"sub-auto", "no"},
    {"access-references", "no"},
    {"keepaspect", "yes"},
    {"background", "#000000"},
    // The graphics card decodes where there is one, copying back for the software view;
    // without one libmpv decodes in software, silently.
    {"hwdec", "auto-copy-safe"},
    // The software output cannot turn a picture: given a phone's portrait movie, libmpv 0.35
    // aborts the whole program. The picture filters turn it upright instead.
    {"video-rotate", "no"},
};

void check(int err, const std::string& what) {
    if (err < 0)
        throw PlatformError(what + ": " + mpv_error_string(err), "mpv", err);
}

} // namespace

MpvPlayer::Impl::Impl() : lastPlayedTime_(kNaN) {
    // libmpv refuses a locale whose decimal separator is not '.'.
    std::setlocale(LC_NUMERIC, "C");
    core_.reset(mpv_create());
    if (!core_)
        throw PlatformError("libmpv could not be created", "mpv", MPV_ERROR_NOMEM);
    mpv_handle* h = core_.get();
    for (const auto& option : kOptions)
        check(mpv_set_option_string(h, option[0], option[1]),
              std::string("mpv option ") + option[0]);
    check(mpv_initialize(h), "mpv_initialize");

    // The render context exists before any file, so the video output can always start.
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_SW)},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    mpv_render_context* render = nullptr;
    check(mpv_render_context_create(&render, h, params), "mpv_render_context_create");
    render_.reset(render);

    check(mpv_observe_property(h, timePosReply, "time-pos", MPV_FORMAT_DOUBLE), "time-pos");
    check(mpv_observe_property(h, eofReply, "eof-reached", MPV_FORMAT_FLAG), "eof-reached");
    check(mpv_observe_property(h, pauseReply, "pause", MPV_FORMAT_FLAG), "pause");
    check(mpv_observe_property(h, coreIdleReply, "core-idle", MPV_FORMAT_FLAG), "core-idle");
    check(mpv_observe_property(h, voReply, "vo-configured", MPV_FORMAT_FLAG), "vo-configured");
    check(mpv_observe_property(h, gammaReply, "video-params/gamma", MPV_FORMAT_STRING),
          "video-params/gamma");
    check(mpv_set_option_string(h, "vf", kPictureFilters), "mpv option vf");
    filters_ = kPictureFilters;

    scratch_.resize(kScratchSide * kScratchSide);
    resizeSettle_ = new QTimer(&context_);
    resizeSettle_->setSingleShot(true);
    resizeSettle_->setInterval(kResizeSettleMs);
    QObject::connect(resizeSettle_, &QTimer::timeout, &context_, [this] {
        if (hdrFilters_ && (viewWidth_ != chainWidth_ || viewHeight_ != chainHeight_))
            setPictureFilters();
    });
    mpv_set_wakeup_callback(h, &MpvPlayer::Impl::wakeup, this);
    mpv_render_context_set_update_callback(render_.get(), &MpvPlayer::Impl::renderUpdate, this);
}

MpvPlayer::Impl::~Impl() {
    if (sink_)
        std::exchange(sink_, nullptr)->pictureSourceGone();
    if (render_)
        mpv_render_context_set_update_callback(render_.get(), nullptr, nullptr);
    if (core_)
        mpv_set_wakeup_callback(core_.get(), nullptr, nullptr);
    // libmpv's order: the render context before the core.
    render_.reset();
    core_.reset();
}

// libmpv's threads call these two; they may only hand work to the main thread.
void MpvPlayer::Impl::wakeup(void* self) noexcept {
    auto* player = static_cast<MpvPlayer::Impl*>(self);
    if (!player->drainPosted_.exchange(true))
        QMetaObject::invokeMethod(
            &player->context_, [player] { player->drainEvents(); }, Qt::QueuedConnection);
}

void MpvPlayer::Impl::renderUpdate(void* self) noexcept {
    auto* player = static_cast<MpvPlayer::Impl*>(self);
    if (!player->picturePosted_.exchange(true))
        QMetaObject::invokeMethod(
            &player->context_, [player] { player->deliverPicture(); }, Qt::QueuedConnection);
}

void MpvPlayer::Impl::drainEvents() {
    // Cleared before draining, so an event that arrives meanwhile posts another drain.
    drainPosted_.store(false);
    while (core_) {
        const mpv_event* event = mpv_wait_event(core_.get(), 0);
        if (event->event_id == MPV_EVENT_NONE)
            break;
        handleEvent(*event);
    }
}

void MpvPlayer::Impl::handleEvent(const mpv_event& event) {
    switch (event.event_id) {
    case MPV_EVENT_START_FILE:
        startedEntry_ = static_cast<const mpv_event_start_file*>(event.data)->playlist_entry_id;
        break;
    case MPV_EVENT_FILE_LOADED:
        // A file replaced before it loaded still reports; only the current item counts.
        if (startedEntry_ != expectedEntry_ || expectedEntry_ < 0)
            break;
        loaded_ = true;
        {
            const double start = readDouble("demuxer-start-time");
            clockOffset_ = std::isfinite(start) ? start - origin_ : 0;
            if (const PictureTimes* times = pictureTimes())
                clockOffset_ += times->shownLate();
        }
        if (pendingSeek_)
            issueSeek(*std::exchange(pendingSeek_, std::nullopt));
        break;
    case MPV_EVENT_END_FILE:
        if (static_cast<const mpv_event_end_file*>(event.data)->playlist_entry_id ==
            expectedEntry_) {
            loaded_ = false;
            ready_ = false;
            ended_ = true;
            pendingSeek_.reset();
            seekTarget_.reset();
            lastPlayedTime_ = kNaN;
            endStepState();
            landing_ = false;
            queuedSeek_.reset();
        }
        break;
    case MPV_EVENT_SEEK:
        seeking_ = true;
        lastPlayedTime_ = kNaN;
        break;
    case MPV_EVENT_PLAYBACK_RESTART:
        // Until the first frame is decoded, time-pos holds a guess (0 on a movie whose
        // picture starts later).
        if (loaded_)
            ready_ = true;
        seeking_ = false;
        lastPlayedTime_ = kNaN;
        if (seeksInFlight_ == 0) {
            landing_ = false;
            takeQueuedSeek();
        }
        break;
    case MPV_EVENT_COMMAND_REPLY:
        if (event.reply_userdata == stepReply && event.error < 0 && stepping_)
            abandonStep();
        if (event.reply_userdata == seekReply) {
            seeksInFlight_ = std::max(0, seeksInFlight_ - 1);
            // A refused seek never lands; stop reporting its target.
            if (event.error < 0 && seeksInFlight_ == 0) {
                landing_ = false;
                takeQueuedSeek();
            }
        }
        break;
    case MPV_EVENT_PROPERTY_CHANGE: {
        const auto* property = static_cast<const mpv_event_property*>(event.data);
        const bool known = property->format != MPV_FORMAT_NONE && property->data;
        if (event.reply_userdata == timePosReply) {
            notePlayedTime(known ? *static_cast<const double*>(property->data) + clockOffset_
                                 : kNaN);
        } else if (event.reply_userdata == eofReply) {
            eofReached_ = !known || *static_cast<const int*>(property->data);
            // Playing into the end passes any boundary between the last frame and the end.
            if (known && *static_cast<const int*>(property->data) && !seeking_ &&
                std::isfinite(lastPlayedTime_)) {
                const double end = duration();
                if (std::isfinite(end) && end > lastPlayedTime_) {
                    crossBoundaries(lastPlayedTime_, end);
                    lastPlayedTime_ = end;
                }
            }
        } else if (event.reply_userdata == gammaReply) {
            // The decoder's transfer, before any filter: it corrects what the stream's tags
            // said when the item was loaded. Between items it is unknown, which says nothing.
            if (!known)
                break;
            const char* gamma = *static_cast<char* const*>(property->data);
            const bool hdr = std::strcmp(gamma, "pq") == 0 || std::strcmp(gamma, "hlg") == 0;
            if (hdr != hdrFilters_ || (hdr && lookItem_ != path_)) {
                hdrFilters_ = hdr;
                if (hdr && lookItem_ != path_)
                    makeLook(pictureStreamOf(path_).index);
                setPictureFilters();
            }
        } else if (event.reply_userdata == pauseReply) {
            if (known)
                paused_ = *static_cast<const int*>(property->data) != 0;
            // Stopped by itself at either end: forward again for the steps that follow.
            if (paused_ && backward_)
                applyPace(false);
        } else if (event.reply_userdata == coreIdleReply) {
            coreIdle_ = !known || *static_cast<const int*>(property->data);
        } else if (event.reply_userdata == voReply) {
            const bool shown = known && *static_cast<const int*>(property->data);
            if (shown != videoShown_) {
                videoShown_ = shown;
                pictureStale_ = true;
                renderUpdate(this);
            }
        }
        break;
    }
    default:
        break;
    }
}

MpvPlayer::MpvPlayer() : impl_(std::make_unique<Impl>()) {}
MpvPlayer::~MpvPlayer() = default;

void MpvPlayer::replaceCurrentItem(const std::optional<std::string>& path) {
    impl_->replaceCurrentItem(path);
}
void MpvPlayer::selectTracks(int pictureOrdinal, int soundOrdinal) {
    impl_->selectTracks(pictureOrdinal, soundOrdinal);
}
bool MpvPlayer::hasItem() const {
    return impl_->hasItem();
}
void MpvPlayer::play() {
    impl_->play();
}
void MpvPlayer::pause() {
    impl_->pause();
}
double MpvPlayer::rate() const {
    return impl_->rate();
}
TimeControlStatus MpvPlayer::timeControlStatus() const {
    return impl_->timeControlStatus();
}
double MpvPlayer::currentTime() const {
    return impl_->currentTime();
}
void MpvPlayer::seekExactly(double seconds) {
    impl_->seekExactly(seconds);
}
double MpvPlayer::pictureTimeFrom(double seconds, int steps) {
    return impl_->pictureTimeFrom(seconds, steps);
}
ObserverToken MpvPlayer::addPeriodicTimeObserver(double interval,
                                                 std::function<void(double)> block) {
    return impl_->addPeriodicTimeObserver(interval, std::move(block));
}
ObserverToken MpvPlayer::addBoundaryTimeObserver(double seconds, std::function<void()> block) {
    return impl_->addBoundaryTimeObserver(seconds, std::move(block));
}
void MpvPlayer::removeTimeObserver(ObserverToken token) {
    impl_->removeTimeObserver(token);
}
double MpvPlayer::duration() const {
    return impl_->duration();
}
MpvPlayer::DroppedPictures MpvPlayer::droppedPictures() const {
    DroppedPictures counts;
    mpv_get_property(impl_->core_.get(), "frame-drop-count", MPV_FORMAT_INT64, &counts.output);
    mpv_get_property(impl_->core_.get(), "decoder-frame-drop-count", MPV_FORMAT_INT64,
                     &counts.decoder);
    return counts;
}
void MpvPlayer::setPictureSink(PictureSink* sink) {
    impl_->setPictureSink(sink);
}
bool MpvPlayer::drawPicture(int width, int height, std::size_t stride, void* pixels) {
    if (width > 0 && height > 0)
        impl_->noteViewSize(width, height);
    return impl_->drawPicture(width, height, stride, pixels);
}

} // namespace trimwell
