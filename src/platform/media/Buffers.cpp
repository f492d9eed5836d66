#include "Buffers.h"

#include "PlatformError.h"
#include "detail/AvPtr.h"
#include "detail/Colour.h"

#include <cerrno>
#include <new>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace trimwell {

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, std::uint32_t pixelFormat) {
    if (pixelFormat != kPixelFormat32BGRA || width <= 0 || height <= 0 ||
        av_image_check_size(width, height, 0, nullptr) < 0)
        return nullptr;
    FramePtr frame(av_frame_alloc());
    if (!frame)
        return nullptr;
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return nullptr;
    return std::shared_ptr<PixelBuffer>(new PixelBuffer(frame.release()));
}

std::shared_ptr<PixelBuffer> PixelBuffer::adopt(AVFrame* frame) {
    if (!frame)
        return nullptr;
    return std::shared_ptr<PixelBuffer>(new PixelBuffer(frame));
}

PixelBuffer::~PixelBuffer() {
    av_frame_free(&frame_);
}

int PixelBuffer::width() const {
    return frame_->width;
}
int PixelBuffer::height() const {
    return frame_->height;
}

std::uint32_t PixelBuffer::pixelFormat() const {
    return frame_->format == AV_PIX_FMT_BGRA ? kPixelFormat32BGRA : 0;
}

bool PixelBuffer::lockBaseAddress() {
    if (frame_->format != AV_PIX_FMT_BGRA) {
        FramePtr bgra(av_frame_alloc());
        if (!bgra)
            return false;
        bgra->format = AV_PIX_FMT_BGRA;
        bgra->width = frame_->width;
        bgra->height = frame_->height;
        bgra->pts = frame_->pts;
        if (av_frame_get_buffer(bgra.get(), 0) < 0)
            return false;
        const auto format = static_cast<AVPixelFormat>(frame_->format);
        SwsPtr sws(sws_getContext(frame_->width, frame_->height, format, bgra->width, bgra->height,
                                  AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!sws)
            return false;
        const AVColorSpace matrix =
            effectiveMatrix(frame_->colorspace, frame_->width, frame_->height);
        const int* table = swsCoefficients(matrix);
        if (sws_setColorspaceDetails(sws.get(), table, isFullRange(frame_->color_range, format),
                                     table, 1, 0, 1 << 16, 1 << 16) < 0 ||
            sws_scale(sws.get(), frame_->data, frame_->linesize, 0, frame_->height, bgra->data,
                      bgra->linesize) < 0)
            return false;
        av_frame_free(&frame_);
        frame_ = bgra.release();
    } else if (av_frame_make_writable(frame_) < 0) {
        return false;
    }
    locked_ = true;
    return true;
}

void PixelBuffer::unlockBaseAddress() {
    locked_ = false;
}

std::uint8_t* PixelBuffer::baseAddress() const {
    return locked_ ? frame_->data[0] : nullptr;
}

int PixelBuffer::bytesPerRow() const {
    return locked_ ? frame_->linesize[0] : 0;
}

std::shared_ptr<PixelBuffer> PixelBufferPool::createPixelBuffer() const {
    return PixelBuffer::create(attributes_.width, attributes_.height, attributes_.pixelFormat);
}

std::shared_ptr<const AudioFormatDescription>
audioFormatDescriptionCreate(const AudioStreamDescription& d) {
    const std::uint32_t wanted = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    if (d.formatID != kAudioFormatLinearPCM || (d.formatFlags & wanted) != wanted ||
        d.bitsPerChannel != 16 || d.channelsPerFrame == 0 || d.framesPerPacket != 1 ||
        d.bytesPerFrame != 2 * d.channelsPerFrame || d.bytesPerPacket != d.bytesPerFrame ||
        !(d.sampleRate >= 1))
        throw PlatformError::fromTrimwell("The sound format is not packed 16-bit PCM");
    return std::make_shared<AudioFormatDescription>(AudioFormatDescription{d});
}

std::shared_ptr<BlockBuffer> blockBufferCreate(std::size_t length) {
    try {
        auto block = std::make_shared<BlockBuffer>();
        block->bytes.resize(length);
        return block;
    } catch (const std::bad_alloc&) {
        throw PlatformError::fromErrno(ENOMEM, "The sound block could not be made");
    }
}

std::uint8_t* blockBufferGetDataPointer(BlockBuffer& block, std::size_t offset) {
    if (offset >= block.bytes.size())
        throw PlatformError::fromTrimwell("The offset lies outside the sound block");
    return block.bytes.data() + offset;
}

SampleBuffer sampleBufferCreateForAudio(std::shared_ptr<BlockBuffer> block,
                                        std::shared_ptr<const AudioFormatDescription> format,
                                        std::int64_t frameCount, MediaTime frameDuration,
                                        MediaTime presentationTime, std::size_t sampleSize) {
    if (!block || !format || frameCount <= 0 || !presentationTime.isValid() ||
        !frameDuration.isValid() || sampleSize != format->description.bytesPerFrame ||
        block->bytes.size() < static_cast<std::size_t>(frameCount) * sampleSize)
        throw PlatformError::fromTrimwell("The sound does not fit its block or format");
    SampleBuffer buffer;
    buffer.mediaType = MediaType::audio;
    buffer.presentationTime = presentationTime;
    buffer.duration = MediaTime::make(frameDuration.value * frameCount, frameDuration.timescale);
    buffer.format = std::move(format);
    buffer.block = std::move(block);
    buffer.frameCount = frameCount;
    return buffer;
}

} // namespace trimwell
