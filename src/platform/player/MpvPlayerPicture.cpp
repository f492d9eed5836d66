// The time observers and the picture: libmpv draws into the view's surface, or into a
// scratch one while no view shows it.
#include "detail/MpvPlayerImpl.h"

#include <QTimer>

#include <cmath>
#include <cstring>
#include <utility>

namespace trimwell {

namespace {

void fillBlack(int width, int height, std::size_t stride, void* pixels) {
    auto* row = static_cast<unsigned char*>(pixels);
    for (int y = 0; y < height; ++y, row += stride)
        std::memset(row, 0, static_cast<std::size_t>(width) * 4);
}

} // namespace

ObserverToken MpvPlayer::Impl::addPeriodicTimeObserver(double interval,
                                                       std::function<void(double)> block) {
    const ObserverToken token{nextToken_++};
    if (!block)
        return token;
    const double ms =
        std::isfinite(interval) ? std::clamp(interval * 1000.0, 1.0, 86400000.0) : 1.0;
    auto* timer = new QTimer(&context_);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(static_cast<int>(std::lround(ms)));
    QObject::connect(timer, &QTimer::timeout, &context_, [this, id = token.id] {
        const auto it = periodic_.find(id);
        if (it == periodic_.end())
            return;
        const double now = currentTime();
        if (!std::isfinite(now))
            return;
        // A copy: the block may remove its own observer.
        const auto call = it->second.block;
        call(now);
    });
    periodic_.emplace(token.id, Periodic{timer, std::move(block)});
    timer->start();
    return token;
}

ObserverToken MpvPlayer::Impl::addBoundaryTimeObserver(double seconds,
                                                       std::function<void()> block) {
    const ObserverToken token{nextToken_++};
    if (block)
        boundaries_.emplace(token.id, Boundary{seconds, std::move(block)});
    return token;
}

void MpvPlayer::Impl::removeTimeObserver(ObserverToken token) {
    if (const auto it = periodic_.find(token.id); it != periodic_.end()) {
        // The timer may be the one whose tick is running right now.
        it->second.timer->stop();
        it->second.timer->deleteLater();
        periodic_.erase(it);
    }
    boundaries_.erase(token.id);
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

void MpvPlayer::Impl::setPictureSink(PictureSink* sink) {
    if (sink == sink_)
        return;
    if (PictureSink* old = std::exchange(sink_, sink))
        old->pictureSourceGone();
    if (sink_)
        sink_->pictureChanged();
}

bool MpvPlayer::Impl::drawPicture(int width, int height, std::size_t stride, void* pixels) {
    if (width <= 0 || height <= 0 || !pixels || stride < static_cast<std::size_t>(width) * 4)
        return false;
    drawnSinceUpdate_ = true;
    if (!videoShown_ || !render_) {
        fillBlack(width, height, stride, pixels);
        return false;
    }
    int size[2] = {width, height};
    char format[] = "rgb0";
    // Never sleep on the main thread until a frame's display time; presentPicture is
    // already called at that time.
    int block = 0;
    mpv_render_param params[] = {
        {MPV_RENDER_PARAM_SW_SIZE, size},
        {MPV_RENDER_PARAM_SW_FORMAT, format},
        {MPV_RENDER_PARAM_SW_STRIDE, &stride},
        {MPV_RENDER_PARAM_SW_POINTER, pixels},
        {MPV_RENDER_PARAM_BLOCK_FOR_TARGET_TIME, &block},
        {MPV_RENDER_PARAM_INVALID, nullptr},
    };
    if (mpv_render_context_render(render_.get(), params) < 0) {
        fillBlack(width, height, stride, pixels);
        return false;
    }
    return true;
}

void MpvPlayer::Impl::deliverPicture() {
    picturePosted_.store(false);
    if (!render_)
        return;
    const bool fresh = (mpv_render_context_update(render_.get()) & MPV_RENDER_UPDATE_FRAME) != 0;
    if (!fresh && !pictureStale_)
        return;
    pictureStale_ = false;
    // While playing, libmpv hands frames over ahead of their display time; show each one at
    // its time without holding up the main thread meanwhile. A step's picture, or a seek's
    // while paused, is what the user asked to see now; a step's comes the sound output's
    // latency early, and waiting for it would more than double what a step takes.
    mpv_render_frame_info info{};
    if (fresh && !stepping_ && !paused_ &&
        mpv_render_context_get_info(render_.get(), {MPV_RENDER_PARAM_NEXT_FRAME_INFO, &info}) >=
            0 &&
        info.target_time > 0) {
        const std::int64_t waitMs = (info.target_time - mpv_get_time_us(core_.get())) / 1000;
        if (waitMs > 1) {
            QTimer::singleShot(std::chrono::milliseconds(std::min<std::int64_t>(waitMs, 1000)),
                               Qt::PreciseTimer, &context_, [this] { presentPicture(); });
            return;
        }
    }
    presentPicture();
}

void MpvPlayer::Impl::presentPicture() {
    drawnSinceUpdate_ = false;
    if (sink_)
        sink_->pictureChanged();
    if (!drawnSinceUpdate_)
        drawPicture(kScratchSide, kScratchSide, kScratchSide * 4, scratch_.data());
}

} // namespace trimwell
