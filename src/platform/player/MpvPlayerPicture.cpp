// The picture: the filters libmpv runs it through (deinterlacing, HDR tone mapping with the
// save's table at the view's size, turning a portrait movie upright), and the drawing into
// the view's surface, or into a scratch one while no view shows it.
#include "detail/MpvPlayerImpl.h"

#include "platform/media/PlatformError.h"
#include "platform/media/detail/Colour.h"
#include "platform/media/detail/SourceDecoder.h"
#include "platform/media/detail/ToneMap.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

extern "C" {
#include <libavutil/display.h>
}

namespace trimwell {

namespace {

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

void fillBlack(int width, int height, std::size_t stride, void* pixels) {
    auto* row = static_cast<unsigned char*>(pixels);
    for (int y = 0; y < height; ++y, row += stride)
        std::memset(row, 0, static_cast<std::size_t>(width) * 4);
}

} // namespace

MpvPlayer::Impl::PictureStream MpvPlayer::Impl::pictureStreamOf(const std::string& path) {
    try {
        FormatContextPtr format = openInput(path, Probe::quick);
        const int stream =
            av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream < 0)
            return {};
        const AVStream* picture = format->streams[stream];
        const bool sound =
            av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) >= 0;
        const double origin =
            format->start_time != AV_NOPTS_VALUE ? format->start_time / double(AV_TIME_BASE) : 0;
        return {stream, isHdrTransfer(picture->codecpar->color_trc), turnOf(picture), sound,
                origin};
    } catch (const PlatformError&) {
        return {};
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
