#include "MpvPlayer.h"
#include "detail/MpvPlayerImpl.h"

#include "platform/media/PlatformError.h"
#include "platform/media/detail/Colour.h"
#include "platform/media/detail/SourceDecoder.h"
#include "platform/media/detail/ToneMap.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/display.h>
}

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

// Pictures flagged interlaced are deinterlaced as a save does, one picture per frame;
// progressive ones pass untouched.
constexpr const char* kPictureFilters =
    "lavfi=[bwdif=mode=send_frame:parity=auto:deint=interlaced]";
// HDR pictures are also tone-mapped as a save does: libmpv's software output converts PQ
// and HLG by itself but clips every bright colour to white. The picture is first shrunk to
// the size the view shows, which libmpv would shrink it to anyway, so the tone mapping
// costs what that size costs; it is never enlarged.
std::string shrinkToView(int viewWidth, int viewHeight) {
    if (viewWidth <= 0 || viewHeight <= 0)
        return "w=iw:h=ih";
    return "w='min(iw," + std::to_string(viewWidth) + ")':h='min(ih," + std::to_string(viewHeight) +
           ")':force_original_aspect_ratio=decrease:force_divisible_by=2";
}

// Where the save's table cannot be had, the float chain it is made from, which looks the
// same but costs several times as much.
std::string floatToneMapFilter(int viewWidth, int viewHeight) {
    return "lavfi=[scale=" + shrinkToView(viewWidth, viewHeight) +
           ":flags=bicubic,zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,"
           "tonemap=tonemap=mobius:desat=0,zscale=t=bt709:m=bt709:r=tv,format=yuv420p]";
}

// The picture stream a player picks, and whether its tags say PQ or HLG; reads headers
// only. No stream (-1) when the file cannot be read here.
struct PictureStream {
    int index{-1};
    bool hdr{false};
    int turn{0}; // degrees clockwise to show it upright: 90 for a phone's portrait movie
    bool sound{false};
};

int turnOf(const AVStream* stream) {
    const std::int32_t* matrix = displayMatrixOf(stream);
    if (!matrix)
        return 0;
    // The matrix turns anticlockwise; quarter turns only, as a camera writes them.
    const double degrees = -av_display_rotation_get(matrix);
    if (!std::isfinite(degrees))
        return 0;
    const long quarters = std::lround(degrees / 90.0);
    return static_cast<int>(((quarters % 4) + 4) % 4) * 90;
}

// Turns a picture upright, clockwise by the item's turn.
const char* turnFilter(int turn) {
    switch (turn) {
    case 90:
        return "lavfi=[transpose=clock]";
    case 180:
        return "lavfi=[hflip,vflip]";
    case 270:
        return "lavfi=[transpose=cclock]";
    default:
        return nullptr;
    }
}

PictureStream pictureStreamOf(const std::string& path) {
    try {
        FormatContextPtr format = openInput(path, Probe::quick);
        const int stream =
            av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream < 0)
            return {};
        const AVStream* picture = format->streams[stream];
        const bool sound =
            av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
        return {stream, isHdrTransfer(picture->codecpar->color_trc), turnOf(picture), sound};
    } catch (const PlatformError&) {
        return {};
    }
}

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
            notePlayedTime(known ? *static_cast<const double*>(property->data) : kNaN);
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

void MpvPlayer::Impl::makeLook(int stream) {
    lookItem_ = path_;
    // A new table may be written under the old one's name; the chain is given again.
    filters_.clear();
    look_.reset();
    lookLike_.reset();
    if (stream < 0)
        return;
    // The save's table, made from the item's first picture as a save makes it from the cut's,
    // so the preview has the save's look to the level.
    try {
        SourceDecoder decoder(path_, stream, DecoderThreads::perCore);
        FramePtr first = decoder.next();
        if (!first || !isHdr(first.get()))
            return;
        assumeHdrDefaults(first.get());
        FramePtr like = makeFrame();
        checkAv(av_frame_copy_props(like.get(), first.get()));
        like->width = first->width;
        like->height = first->height;
        like->format = first->format;
        // BT.709 at every size, as the screen is: tagged with BT.601's primaries, the picture
        // would be converted once more by libmpv's output.
        look_ = std::make_unique<LookTable>(like.get(), true);
        lookLike_ = std::move(like);
    } catch (const PlatformError&) {
        look_.reset();
    }
}

void MpvPlayer::Impl::setPictureFilters() {
    chainWidth_ = hdrFilters_ ? viewWidth_ : 0;
    chainHeight_ = hdrFilters_ ? viewHeight_ : 0;
    // The picture is turned upright last, once it is small: a portrait movie's stored width
    // is the height it is shown at.
    const bool quarterTurn = turn_ % 180 == 90;
    const int across = quarterTurn ? chainHeight_ : chainWidth_;
    const int down = quarterTurn ? chainWidth_ : chainHeight_;
    std::string toneMap;
    if (hdrFilters_ && look_ && lookLike_) {
        try {
            toneMap = "lavfi=[" +
                      lookFilters(lookLike_.get(), shrinkToView(across, down), *look_, true) + "]";
        } catch (const PlatformError&) {
            toneMap.clear();
        }
    }
    if (hdrFilters_ && toneMap.empty())
        toneMap = floatToneMapFilter(across, down);
    std::string filters = kPictureFilters;
    if (!toneMap.empty()) {
        filters.push_back(',');
        filters.append(toneMap);
    }
    if (const char* upright = turnFilter(turn_)) {
        filters.push_back(',');
        filters.append(upright);
    }
    if (filters == filters_)
        return;
    filters_ = filters;
    // Refused filters leave the picture shown as libmpv converts it by itself.
    mpv_set_property_string(core_.get(), "vf", filters.c_str());
    // libmpv filters only the pictures decoded from now on; a paused picture already shown
    // is decoded again, at its own time, to be shown through the new filters.
    if (ready_ && paused_ && !stepping_) {
        const char* again[] = {"seek", "0", "relative+exact", nullptr};
        mpv_command_async(core_.get(), 0, again);
    }
}

void MpvPlayer::Impl::noteViewSize(int width, int height) {
    if (width == viewWidth_ && height == viewHeight_)
        return;
    viewWidth_ = width;
    viewHeight_ = height;
    // A window being dragged larger changes size many times a second; the chain, which
    // makes libmpv filter the picture again, follows once the size has settled.
    if (hdrFilters_)
        resizeSettle_->start();
}

void MpvPlayer::Impl::notePlayedTime(double seconds) {
    if (stepping_) {
        if (std::isfinite(seconds) && seconds >= stepTarget_ - kPictureTolerance)
            finishStep(seconds);
        return;
    }
    const double from = lastPlayedTime_;
    lastPlayedTime_ = seconds;
    // Only forward steps of running playback cross a boundary; a seek or a new item resets
    // the previous time to NaN, so the first time after it is only remembered.
    if (seeking_ || !std::isfinite(from) || !std::isfinite(seconds) || seconds <= from)
        return;
    crossBoundaries(from, seconds);
}

void MpvPlayer::Impl::crossBoundaries(double from, double to) {
    for (const auto& [id, boundary] : boundaries_) {
        if (!(boundary.seconds > from && boundary.seconds <= to))
            continue;
        // Run from the event loop, outside libmpv's event handling; an observer removed in
        // the meantime is skipped.
        QMetaObject::invokeMethod(
            &context_,
            [this, id = id] {
                const auto it = boundaries_.find(id);
                if (it == boundaries_.end())
                    return;
                const auto block = it->second.block;
                block();
            },
            Qt::QueuedConnection);
    }
}

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
}

double MpvPlayer::Impl::rate() const {
    // A frame step plays for one picture; to everyone else the player stays paused. Nothing
    // here changes libmpv's speed.
    return stepping_ || paused_ ? 0 : 1.0;
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
    return ready_ ? readDouble("time-pos") : kNaN;
}

double MpvPlayer::Impl::readDouble(const char* name) const {
    double value = kNaN;
    if (mpv_get_property(core_.get(), name, MPV_FORMAT_DOUBLE, &value) < 0)
        return kNaN;
    return value;
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
