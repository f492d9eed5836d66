#include "detail/WriterCore.h"

#include "detail/Colour.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

namespace trimwell {

namespace {
constexpr double kLeadLimit = 0.5; // seconds an input may run ahead of the other

// x264's one-pass average rate, left alone, spends far above the rate on the first seconds
// of detailed pictures and where a cut turns busy, and a short cut ends before it can catch
// up: the file outgrows the size the window promised. A tight tolerance keeps the running
// total near the rate, and a buffer of one second's bits, refilled at up to twice the rate,
// bounds what any stretch may take. The quantiser floor stops a calm stretch from spending
// bits no one would see, so a busy stretch after it can borrow them, as a second pass would
// arrange. Rate control still follows each picture's own time, so uneven frame durations
// are budgeted as they come.
// Written as text, not formatted, so no locale can turn the point into a comma.
constexpr const char* kRateTolerance = "0.03";
constexpr int kLowestQuantiser = 18;

std::string rateControlParams(std::int64_t bitsPerSecond) {
    const std::int64_t kilobits = std::max<std::int64_t>(1, bitsPerSecond / 1000);
    return std::string("ratetol=") + kRateTolerance +
           ":vbv-maxrate=" + std::to_string(2 * kilobits) +
           ":vbv-bufsize=" + std::to_string(kilobits) +
           ":qpmin=" + std::to_string(kLowestQuantiser);
}
} // namespace

WriterInput::WriterInput(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WriterInput::~WriterInput() = default;

std::shared_ptr<WriterInput> WriterInput::makeVideo(VideoSettings settings) {
    auto impl = std::make_unique<Impl>();
    impl->type = MediaType::video;
    impl->video = std::move(settings);
    return std::shared_ptr<WriterInput>(new WriterInput(std::move(impl)));
}

std::shared_ptr<WriterInput> WriterInput::makeAudio(AudioSettings settings) {
    auto impl = std::make_unique<Impl>();
    impl->type = MediaType::audio;
    impl->audio = settings;
    return std::shared_ptr<WriterInput>(new WriterInput(std::move(impl)));
}

MediaType WriterInput::mediaType() const {
    return impl_->type;
}

bool WriterInput::Impl::prepare() {
    std::lock_guard guard(encodeLock);
    if (prepared)
        return encoder != nullptr;
    prepared = true;
    if (type == MediaType::video) {
        const VideoSettings& s = video;
        if (s.codec != VideoCodec::h264 || s.width < 2 || s.height < 2 || s.width % 2 ||
            s.height % 2 || s.width > 16384 || s.height > 16384 || s.averageBitRate < 0)
            return false;
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            return false;
        CodecContextPtr ctx(avcodec_alloc_context3(codec));
        if (!ctx)
            return false;
        ctx->width = s.width;
        ctx->height = s.height;
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        // Each picture keeps its own time and lasts until the next one's; the rate is
        // what the encoder plans its bits by and what the file states.
        ctx->time_base = AVRational{1, pictureTimescale(s.frameDuration)};
        if (s.frameDuration.isValid() && s.frameDuration.value > 0) {
            av_reduce(&ctx->framerate.num, &ctx->framerate.den, s.frameDuration.timescale,
                      s.frameDuration.value, INT32_MAX);
        } else {
            const double fps =
                std::isfinite(s.expectedSourceFrameRate) && s.expectedSourceFrameRate > 1
                    ? s.expectedSourceFrameRate
                    : 30.0;
            ctx->framerate = av_d2q(fps, 100000);
        }
        if (s.averageBitRate > 0)
            ctx->bit_rate = s.averageBitRate;
        ctx->colorspace = matrixForSize(s.width, s.height);
        ctx->color_primaries = primariesForSize(s.width, s.height);
        ctx->color_trc = transferForSize(s.width, s.height);
        ctx->color_range = AVCOL_RANGE_MPEG;
        // The fit has already applied the source's pixel shape, so say "square" outright
        // rather than leave players to guess.
        ctx->sample_aspect_ratio = AVRational{1, 1};
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        ctx->thread_count = 0;
        if (av_opt_set(ctx->priv_data, "preset", s.preset.c_str(), 0) < 0)
            return false;
        if (s.profileLevel == ProfileLevel::h264HighAutoLevel &&
            av_opt_set(ctx->priv_data, "profile", "high", 0) < 0)
            return false;
        if (s.averageBitRate > 0 && av_opt_set(ctx->priv_data, "x264-params",
                                               rateControlParams(s.averageBitRate).c_str(), 0) < 0)
            return false;
        if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
            return false;
        encoder = std::move(ctx);
        return true;
    }
    const AudioSettings& s = audio;
    const int rate = static_cast<int>(std::lround(s.sampleRate));
    if (s.formatID != kAudioFormatMPEG4AAC || s.channels < 1 || s.channels > 8 || rate < 8000 ||
        rate > 96000 || s.encoderBitRate < 0)
        return false;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        return false;
    CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx)
        return false;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->sample_rate = rate;
    av_channel_layout_default(&ctx->ch_layout, s.channels);
    if (s.encoderBitRate > 0)
        ctx->bit_rate = s.encoderBitRate;
    ctx->profile = FF_PROFILE_AAC_LOW;
    ctx->time_base = AVRational{1, rate};
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return false;
    fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, s.channels, ctx->frame_size * 4));
    if (!fifo)
        return false;
    encoder = std::move(ctx);
    return true;
}

bool WriterInput::isReadyForMoreMediaData() const {
    auto core = impl_->core.lock();
    if (!core)
        return false;
    std::lock_guard guard(core->stateLock);
    return core->readyLocked(*impl_);
}

void WriterInput::requestMediaDataWhenReady(std::shared_ptr<SerialQueue> queue,
                                            std::function<void()> block) {
    auto core = impl_->core.lock();
    if (!core)
        return;
    {
        std::lock_guard guard(core->stateLock);
        impl_->queue = std::move(queue);
        impl_->block = std::move(block);
    }
    core->kick();
}

bool WriterCore::readyLocked(const WriterInput::Impl& in) const {
    if (in.finished)
        return false;
    if (status != Writer::Status::writing)
        return true;
    for (const auto& other : inputs) {
        const auto& o = *other->impl_;
        if (&o != &in && !o.finished && in.position > o.position + kLeadLimit)
            return false;
    }
    return true;
}

// Schedules the ready-block of every input that wants data and is not yet scheduled.
void WriterCore::kick() {
    std::vector<std::pair<std::shared_ptr<SerialQueue>, std::shared_ptr<WriterInput>>> due;
    {
        std::lock_guard guard(stateLock);
        // Room made first: an input marked scheduled is always handed to its queue.
        due.reserve(inputs.size());
        for (const auto& input : inputs) {
            auto& in = *input->impl_;
            if (in.block && in.queue && !in.scheduled && readyLocked(in)) {
                in.scheduled = true;
                due.emplace_back(in.queue, input);
            }
        }
    }
    for (auto& [queue, input] : due) {
        std::weak_ptr<WriterCore> self = weak_from_this();
        queue->async([self, input = input] { // clang 14 cannot capture a binding itself
            // Nothing thrown here may leave the queue's thread: it fails the save instead.
            try {
                std::function<void()> block;
                if (auto core = self.lock()) {
                    std::lock_guard guard(core->stateLock);
                    block = input->impl_->block;
                }
                if (block)
                    block();
            } catch (...) {
                if (auto core = self.lock())
                    core->failWithCurrent(input->impl_->type == MediaType::video
                                              ? "Saving the picture"
                                              : "Saving the sound");
            }
            if (auto core = self.lock()) {
                {
                    std::lock_guard guard(core->stateLock);
                    input->impl_->scheduled = false;
                }
                try {
                    core->kick();
                } catch (...) {
                    core->failWithCurrent("Scheduling the save");
                }
            }
        });
    }
}

void WriterCore::advance(WriterInput::Impl& in, double end) {
    {
        std::lock_guard guard(stateLock);
        if (end > in.position)
            in.position = end;
    }
    kick();
}

bool WriterInput::appendSampleBuffer(const SampleBuffer& buffer) {
    try {
        if (buffer.mediaType != impl_->type) {
            if (auto core = impl_->core.lock())
                core->fail(PlatformError::fromTrimwell("A sample of the wrong kind"));
            return false;
        }
        if (impl_->type == MediaType::video)
            return appendPicture(*impl_, buffer.pixels.get(), buffer.presentationTime,
                                 buffer.duration);
        return appendSound(*impl_, buffer);
    } catch (...) {
        if (auto core = impl_->core.lock())
            core->failWithCurrent(encodingStep(*impl_));
        return false;
    }
}

bool WriterInput::finishStep() {
    auto core = impl_->core.lock();
    if (!core)
        return false;
    {
        std::lock_guard guard(core->stateLock);
        if (impl_->finished)
            return false;
    }
    std::lock_guard guard(impl_->encodeLock);
    try {
        if (impl_->encoder && core->currentStatus() == Writer::Status::writing &&
            drainStep(*core, *impl_))
            return true;
    } catch (...) {
        core->failWithCurrent(encodingStep(*impl_));
    }
    impl_->flushed = true;
    return false;
}

double WriterInput::encodedShare() const {
    // Packets first: frames only grow, so the share read is never above the true one.
    const std::int64_t out = impl_->packetsOut.load(std::memory_order_relaxed);
    const std::int64_t in = impl_->framesIn.load(std::memory_order_relaxed);
    return in > 0 ? std::min(1.0, static_cast<double>(out) / static_cast<double>(in)) : 0.0;
}

void WriterInput::markAsFinished() {
    auto core = impl_->core.lock();
    if (!core)
        return;
    {
        std::lock_guard guard(core->stateLock);
        if (impl_->finished)
            return;
    }
    {
        std::lock_guard guard(impl_->encodeLock);
        try {
            if (impl_->encoder && core->currentStatus() == Writer::Status::writing)
                while (drainStep(*core, *impl_)) {
                }
        } catch (...) {
            core->failWithCurrent(encodingStep(*impl_));
        }
        impl_->flushed = true;
    }
    std::function<void()> block;
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard guard(core->stateLock);
        impl_->finished = true;
        // Released outside the lock: the block may own the last reference to its queue.
        block = std::move(impl_->block);
        queue = std::move(impl_->queue);
    }
    try {
        core->kick();
    } catch (...) {
        core->failWithCurrent("Scheduling the save");
    }
}

} // namespace trimwell
