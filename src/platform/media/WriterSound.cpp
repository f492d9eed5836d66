#include "detail/WriterCore.h"

#include <cmath>
#include <vector>

namespace trimwell {

// Queues samples [start, start + count) of interleaved s16, filling gaps with silence and
// dropping what overlaps, so the encoder's timestamps stay exact and in step.
static bool queueSound(WriterCore& core, WriterInput::Impl& in, const std::int16_t* samples,
                       std::int64_t count, std::int64_t start) {
    const int channels = in.audio.channels;
    AVCodecContext* enc = in.encoder.get();
    if (!in.havePts) {
        in.havePts = true;
        in.nextSample = start;
        in.queuedEnd = start;
    }
    const std::int64_t tolerance = enc->sample_rate / 100;
    std::int64_t skip = 0;
    if (start > in.queuedEnd + tolerance) {
        // A gap: silence keeps the sound where it belongs (bounded: a minute at most).
        std::int64_t gap = std::min<std::int64_t>(start - in.queuedEnd, enc->sample_rate * 60LL);
        std::vector<float> zeros(static_cast<std::size_t>(std::min<std::int64_t>(gap, 4096)));
        std::vector<void*> planes(channels, zeros.data());
        while (gap > 0) {
            const int n = static_cast<int>(std::min<std::int64_t>(gap, zeros.size()));
            const int written = av_audio_fifo_write(in.fifo.get(), planes.data(), n);
            if (written < n) {
                core.fail(PlatformError::fromAv(written < 0 ? written : AVERROR(ENOMEM)));
                return false;
            }
            in.queuedEnd += n;
            gap -= n;
        }
    } else if (start < in.queuedEnd - tolerance) {
        skip = std::min(count, in.queuedEnd - start);
    }
    const std::int64_t n = count - skip;
    if (n <= 0)
        return true;
    std::vector<std::vector<float>> planar(channels, std::vector<float>(n));
    std::vector<void*> planes(channels);
    for (int c = 0; c < channels; ++c) {
        float* dst = planar[c].data();
        const std::int16_t* src = samples + skip * channels + c;
        for (std::int64_t i = 0; i < n; ++i)
            dst[i] = src[i * channels] * (1.0f / 32768.0f);
        planes[c] = dst;
    }
    const int written = av_audio_fifo_write(in.fifo.get(), planes.data(), static_cast<int>(n));
    if (written < n) {
        core.fail(PlatformError::fromAv(written < 0 ? written : AVERROR(ENOMEM)));
        return false;
    }
    in.queuedEnd += n;
    return true;
}

// Encodes whole encoder frames from the queue; with last, the partial frame too.
bool drainSound(WriterCore& core, WriterInput::Impl& in, bool last) {
    AVCodecContext* enc = in.encoder.get();
    const int frameSize = enc->frame_size > 0 ? enc->frame_size : 1024;
    while (av_audio_fifo_size(in.fifo.get()) >= frameSize ||
           (last && av_audio_fifo_size(in.fifo.get()) > 0)) {
        const int n = std::min(frameSize, av_audio_fifo_size(in.fifo.get()));
        FramePtr frame = makeFrame();
        frame->nb_samples = n;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = enc->sample_rate;
        int ret = av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
        if (ret >= 0)
            ret = av_frame_get_buffer(frame.get(), 0);
        if (ret < 0 ||
            av_audio_fifo_read(in.fifo.get(), reinterpret_cast<void**>(frame->data), n) < n) {
            core.fail(PlatformError::fromAv(ret < 0 ? ret : AVERROR(ENOMEM)));
            return false;
        }
        frame->pts = in.nextSample;
        in.nextSample += n;
        if (!encodeAndMux(core, in, frame.get()))
            return false;
    }
    return true;
}

bool appendSound(WriterInput::Impl& in, const SampleBuffer& buffer) {
    auto core = in.core.lock();
    if (!core || core->currentStatus() != Writer::Status::writing)
        return false;
    const auto* format = buffer.format.get();
    const int rate = in.encoder->sample_rate;
    if (!format || !buffer.block || buffer.frameCount <= 0 ||
        format->description.channelsPerFrame != static_cast<std::uint32_t>(in.audio.channels) ||
        std::lround(format->description.sampleRate) != rate ||
        buffer.block->bytes.size() <
            static_cast<std::size_t>(buffer.frameCount) * 2 * in.audio.channels ||
        !buffer.presentationTime.isValid()) {
        core->fail(PlatformError::fromTrimwell("The sound does not match its input"));
        return false;
    }
    const MediaTime offset = buffer.presentationTime - core->sessionStart;
    const std::int64_t start = offset.convertedTo(rate).value;
    {
        std::lock_guard guard(in.encodeLock);
        if (in.flushed)
            return false;
        const auto* samples = reinterpret_cast<const std::int16_t*>(buffer.block->bytes.data());
        if (!queueSound(*core, in, samples, buffer.frameCount, start) ||
            !drainSound(*core, in, false))
            return false;
    }
    core->advance(in, static_cast<double>(start + buffer.frameCount) / rate);
    return true;
}

} // namespace trimwell
