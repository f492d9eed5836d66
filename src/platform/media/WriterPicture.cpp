#include "detail/WriterCore.h"

#include "detail/Colour.h"

namespace trimwell {

// A picture in the encoder's own format and size: a reference to it when it already is,
// a conversion otherwise.
static FramePtr encoderFrame(WriterInput::Impl& in, const AVFrame* src) {
    AVCodecContext* enc = in.encoder.get();
    FramePtr out = makeFrame();
    const auto format = static_cast<AVPixelFormat>(src->format);
    const AVColorSpace want = enc->colorspace;
    const bool sameMatrix = format == AV_PIX_FMT_BGRA ||
                            effectiveMatrix(src->colorspace, src->width, src->height) == want;
    if (format == AV_PIX_FMT_YUV420P && src->width == enc->width && src->height == enc->height &&
        sameMatrix && !isFullRange(src->color_range, format)) {
        if (av_frame_ref(out.get(), src) < 0)
            return nullptr;
        return out;
    }
    out = in.yuvPool.get(AV_PIX_FMT_YUV420P, enc->width, enc->height);
    if (!out)
        return nullptr;
    in.toYuv.reset(sws_getCachedContext(in.toYuv.release(), src->width, src->height, format,
                                        enc->width, enc->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC,
                                        nullptr, nullptr, nullptr));
    if (!in.toYuv)
        return nullptr;
    const int* srcTable =
        format == AV_PIX_FMT_BGRA
            ? swsCoefficients(want)
            : swsCoefficients(effectiveMatrix(src->colorspace, src->width, src->height));
    if (sws_setColorspaceDetails(in.toYuv.get(), srcTable,
                                 format == AV_PIX_FMT_BGRA ? 1
                                                           : isFullRange(src->color_range, format),
                                 swsCoefficients(want), 0, 0, 1 << 16, 1 << 16) < 0 ||
        sws_scale(in.toYuv.get(), src->data, src->linesize, 0, src->height, out->data,
                  out->linesize) < 0)
        return nullptr;
    return out;
}

bool appendPicture(WriterInput::Impl& in, const PixelBuffer* pixels, MediaTime time,
                   MediaTime duration) {
    auto core = in.core.lock();
    if (!core || core->currentStatus() != Writer::Status::writing)
        return false;
    if (!pixels || !time.isValid()) {
        core->fail(PlatformError::fromTrimwell("A picture without a time"));
        return false;
    }
    const MediaTime offset = time - core->sessionStart;
    double end = 0;
    {
        std::lock_guard guard(in.encodeLock);
        if (in.flushed)
            return false;
        FramePtr frame = encoderFrame(in, pixels->frame());
        if (!frame) {
            core->fail(
                PlatformError::fromAv(AVERROR(ENOMEM), "The picture could not be converted"));
            return false;
        }
        AVCodecContext* enc = in.encoder.get();
        frame->pts = offset.convertedTo(enc->time_base.den).value;
        const std::int64_t oneFrame = av_rescale_q(1, av_inv_q(enc->framerate), enc->time_base);
        const std::int64_t lasts =
            duration.isValid() && duration.value > 0
                ? std::max<std::int64_t>(1, duration.convertedTo(enc->time_base.den).value)
                : oneFrame;
        in.pictureDurations[frame->pts] = lasts;
        frame->colorspace = enc->colorspace;
        frame->color_primaries = enc->color_primaries;
        frame->color_trc = enc->color_trc;
        frame->color_range = AVCOL_RANGE_MPEG;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        if (!encodeAndMux(*core, in, frame.get()))
            return false;
        end = static_cast<double>(frame->pts + lasts) * av_q2d(enc->time_base);
    }
    core->advance(in, end);
    return true;
}

PixelBufferAdaptor::PixelBufferAdaptor(std::shared_ptr<WriterInput> input,
                                       PixelBufferAttributes attributes)
    : input_(std::move(input)), attributes_(attributes) {
    if (attributes_.width <= 0)
        attributes_.width = input_->impl_->video.width;
    if (attributes_.height <= 0)
        attributes_.height = input_->impl_->video.height;
    pool_ = std::make_shared<PixelBufferPool>(attributes_);
}

std::shared_ptr<PixelBufferPool> PixelBufferAdaptor::pixelBufferPool() const {
    auto core = input_->impl_->core.lock();
    if (!core || core->currentStatus() != Writer::Status::writing)
        return nullptr;
    return pool_;
}

bool PixelBufferAdaptor::appendPixelBuffer(const std::shared_ptr<PixelBuffer>& buffer,
                                           MediaTime presentationTime) {
    try {
        return appendPicture(*input_->impl_, buffer.get(), presentationTime, MediaTime::invalid());
    } catch (...) {
        if (auto core = input_->impl_->core.lock())
            core->failWithCurrent(encodingStep(*input_->impl_));
        return false;
    }
}

} // namespace trimwell
