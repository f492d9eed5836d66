#include "Writer.h"

#include "AvPtr.h"
#include "Colour.h"

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
}

namespace trimwell {

namespace {
constexpr double kLeadLimit = 0.5; // seconds an input may run ahead of the other
constexpr AVRational kVideoTimeBase{1, 600};

struct FifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFree>;
} // namespace

struct WriterInput::Impl {
    MediaType type{MediaType::video};
    VideoSettings video{};
    AudioSettings audio{};

    std::weak_ptr<WriterCore> core; // set when added to a writer
    AVStream* stream{nullptr};      // owned by the muxer

    std::mutex encodeLock;     // guards the encoder and everything below it
    CodecContextPtr encoder;   // guarded by encodeLock (opened once, by prepare)
    bool prepared{false};      // guarded by encodeLock
    SwsPtr toYuv;              // guarded by encodeLock
    FramePool yuvPool;         // guarded by encodeLock
    FifoPtr fifo;              // guarded by encodeLock
    bool havePts{false};       // guarded by encodeLock
    std::int64_t nextSample{0};   // guarded by encodeLock: pts of the next encoder frame
    std::int64_t queuedEnd{0};    // guarded by encodeLock: sample after the last queued one
    bool flushed{false};       // guarded by encodeLock

    // Scheduling, all guarded by the writer's stateLock.
    double position{0};
    bool finished{false};
    bool scheduled{false};
    std::function<void()> block;
    std::shared_ptr<SerialQueue> queue;

    bool prepare();
};

class WriterCore : public std::enable_shared_from_this<WriterCore> {
public:
    std::string path;
    bool optimizeForNetwork{false};

    mutable std::mutex muxLock;        // guards fmt and pb; taken before stateLock
    AVFormatContext* fmt{nullptr};     // guarded by muxLock
    AVIOContext* pb{nullptr};          // guarded by muxLock

    mutable std::mutex stateLock;      // guards the fields below and the inputs' scheduling
    Writer::Status status{Writer::Status::unknown};
    std::optional<PlatformError> error;
    std::vector<std::shared_ptr<WriterInput>> inputs;
    MediaTime sessionStart{MediaTime::zero()};

    ~WriterCore() {
        if (fmt) {
            fmt->pb = nullptr;
            avformat_free_context(fmt);
        }
        // Only an abandoned file is still open here, and no one is left to hear of it.
        if (pb)
            avio_closep(&pb);
    }

    Writer::Status currentStatus() const {
        std::lock_guard guard(stateLock);
        return status;
    }

    // First failure wins; later ones leave the recorded error alone. Never throws: it is
    // how a failure is reported, from catch blocks too.
    void fail(const PlatformError& e) {
        {
            std::lock_guard guard(stateLock);
            if (status == Writer::Status::writing) {
                status = Writer::Status::failed;
                try {
                    error = e;
                } catch (...) { // out of memory: the status alone still ends the save
                }
            }
        }
        try {
            kick();
        } catch (...) { // the pumps already scheduled still run and see the failure
        }
    }

    // The exception being handled as the writer's failure, with what was being done.
    void failWithCurrent(const char* what) {
        try {
            fail(PlatformError::fromCurrentException(what));
        } catch (...) {
            std::lock_guard guard(stateLock);
            if (status == Writer::Status::writing)
                status = Writer::Status::failed;
        }
    }

    bool mux(AVPacket* pkt) {
        int ret = 0;
        {
            std::lock_guard guard(muxLock);
            if (currentStatus() != Writer::Status::writing)
                return false;
            ret = av_interleaved_write_frame(fmt, pkt);
        }
        if (ret < 0) {
            fail(PlatformError::fromAv(ret));
            return false;
        }
        return true;
    }

    bool readyLocked(const WriterInput::Impl& in) const {
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
    void kick() {
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

    void advance(WriterInput::Impl& in, double end) {
        {
            std::lock_guard guard(stateLock);
            if (end > in.position)
                in.position = end;
        }
        kick();
    }

    void removeFile() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
};

// ---- inputs ----

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
        if (s.frameDuration.isValid() && s.frameDuration.value > 0) {
            ctx->time_base = AVRational{1, s.frameDuration.timescale};
            av_reduce(&ctx->framerate.num, &ctx->framerate.den, s.frameDuration.timescale,
                      s.frameDuration.value, INT32_MAX);
        } else {
        ctx->time_base = kVideoTimeBase;
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

// Sends one frame (or the flush, when frame is null) and muxes what comes out.
static bool encodeAndMux(WriterCore& core, WriterInput::Impl& in, AVFrame* frame) {
    AVCodecContext* enc = in.encoder.get();
    int ret = avcodec_send_frame(enc, frame);
    if (ret < 0 && ret != AVERROR_EOF) {
        core.fail(PlatformError::fromAv(ret));
        return false;
    }
    PacketPtr pkt = makePacket();
    for (;;) {
        ret = avcodec_receive_packet(enc, pkt.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
            return true;
        if (ret < 0) {
            core.fail(PlatformError::fromAv(ret));
            return false;
        }
        // Every picture lasts one frame: x264's own durations are not reliable, and the
        // last picture's duration sets the movie's length.
        if (in.type == MediaType::video)
            pkt->duration = av_rescale_q(1, av_inv_q(enc->framerate), enc->time_base);
        pkt->stream_index = in.stream->index;
        av_packet_rescale_ts(pkt.get(), enc->time_base, in.stream->time_base);
        if (!core.mux(pkt.get()))
            return false;
    }
}

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
    if (sws_setColorspaceDetails(
            in.toYuv.get(), srcTable,
            format == AV_PIX_FMT_BGRA ? 1 : isFullRange(src->color_range, format),
            swsCoefficients(want), 0, 0, 1 << 16, 1 << 16) < 0 ||
        sws_scale(in.toYuv.get(), src->data, src->linesize, 0, src->height, out->data,
                  out->linesize) < 0)
        return nullptr;
    return out;
}

static bool appendPicture(WriterInput::Impl& in, const PixelBuffer* pixels, MediaTime time) {
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
        frame->colorspace = enc->colorspace;
        frame->color_primaries = enc->color_primaries;
        frame->color_trc = enc->color_trc;
        frame->color_range = AVCOL_RANGE_MPEG;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        if (!encodeAndMux(*core, in, frame.get()))
            return false;
        end = offset.seconds() + 1.0 / av_q2d(enc->framerate);
    }
    core->advance(in, end);
    return true;
}

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
            if (av_audio_fifo_write(in.fifo.get(), planes.data(), n) < n)
                return false;
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
    if (av_audio_fifo_write(in.fifo.get(), planes.data(), static_cast<int>(n)) < n) {
        core.fail(PlatformError::fromAv(AVERROR(ENOMEM)));
        return false;
    }
    in.queuedEnd += n;
    return true;
}

// Encodes whole encoder frames from the queue; with last, the partial frame too.
static bool drainSound(WriterCore& core, WriterInput::Impl& in, bool last) {
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

static bool appendSound(WriterInput::Impl& in, const SampleBuffer& buffer) {
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

static const char* encodingStep(const WriterInput::Impl& in) {
    return in.type == MediaType::video ? "Encoding the picture" : "Encoding the sound";
}

bool WriterInput::appendSampleBuffer(const SampleBuffer& buffer) {
    try {
        if (buffer.mediaType != impl_->type) {
            if (auto core = impl_->core.lock())
                core->fail(PlatformError::fromTrimwell("A sample of the wrong kind"));
            return false;
        }
        if (impl_->type == MediaType::video)
            return appendPicture(*impl_, buffer.pixels.get(), buffer.presentationTime);
        return appendSound(*impl_, buffer);
    } catch (...) {
        if (auto core = impl_->core.lock())
            core->failWithCurrent(encodingStep(*impl_));
        return false;
    }
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
            if (!impl_->flushed && impl_->encoder &&
                core->currentStatus() == Writer::Status::writing) {
                if (impl_->type == MediaType::audio)
                    drainSound(*core, *impl_, true);
                encodeAndMux(*core, *impl_, nullptr);
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

// ---- adaptor ----

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
        return appendPicture(*input_->impl_, buffer.get(), presentationTime);
    } catch (...) {
        if (auto core = input_->impl_->core.lock())
            core->failWithCurrent(encodingStep(*input_->impl_));
        return false;
    }
}

// ---- writer ----

Writer::Writer(const std::string& path, FileType) : core_(std::make_shared<WriterCore>()) {
    quietMediaLogs();
    core_->path = path;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        throw PlatformError::fromErrno(errno, folder.string());
    if (!S_ISDIR(st.st_mode))
        throw PlatformError::fromErrno(ENOTDIR, folder.string());
    const int ret = avio_open(&core_->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (ret < 0)
        throw PlatformError::fromAv(ret, path);
}

Writer::~Writer() = default;

void Writer::setShouldOptimizeForNetworkUse(bool value) {
    core_->optimizeForNetwork = value;
}

bool Writer::canAddInput(const std::shared_ptr<WriterInput>& input) const {
    if (!input || core_->currentStatus() != Status::unknown)
        return false;
    {
        std::lock_guard guard(core_->stateLock);
        for (const auto& in : core_->inputs)
            if (in == input)
                return false;
    }
    if (!input->impl_->core.expired())
        return false;
    return input->impl_->prepare();
}

void Writer::addInput(std::shared_ptr<WriterInput> input) {
    if (!canAddInput(input))
        return;
    input->impl_->core = core_;
    std::lock_guard guard(core_->stateLock);
    core_->inputs.push_back(std::move(input));
}

bool Writer::startWriting() {
    WriterCore& c = *core_;
    std::lock_guard mux(c.muxLock);
    auto refuse = [&](PlatformError e) {
        std::lock_guard guard(c.stateLock);
        c.status = Status::failed;
        c.error = std::move(e);
        return false;
    };
    auto failWith = [&](int ret) { return refuse(PlatformError::fromAv(ret)); };
    std::vector<std::shared_ptr<WriterInput>> inputs;
    {
        std::lock_guard guard(c.stateLock);
        if (c.status != Status::unknown)
            return false;
        inputs = c.inputs;
    }
    if (!c.pb)
        return refuse(PlatformError::fromTrimwell("The file is already closed"));
    if (inputs.empty())
        return refuse(PlatformError::fromTrimwell("Nothing to write"));
    int ret = avformat_alloc_output_context2(&c.fmt, nullptr, "mp4", ("file:" + c.path).c_str());
    if (ret < 0 || !c.fmt)
        return failWith(ret < 0 ? ret : AVERROR(ENOMEM));
    for (const auto& input : inputs) {
        auto& in = *input->impl_;
        AVStream* st = avformat_new_stream(c.fmt, nullptr);
        if (!st)
            return failWith(AVERROR(ENOMEM));
        ret = avcodec_parameters_from_context(st->codecpar, in.encoder.get());
        if (ret < 0)
            return failWith(ret);
        st->time_base = in.encoder->time_base;
        if (in.type == MediaType::video)
            st->avg_frame_rate = in.encoder->framerate;
        in.stream = st;
    }
    c.fmt->pb = c.pb;
    AVDictionary* options = nullptr;
    if (c.optimizeForNetwork && (ret = av_dict_set(&options, "movflags", "+faststart", 0)) < 0)
        return failWith(ret);
    ret = avformat_write_header(c.fmt, &options);
    av_dict_free(&options);
    if (ret < 0)
        return failWith(ret);
    std::lock_guard guard(c.stateLock);
    c.status = Status::writing;
    return true;
}

void Writer::startSessionAtSourceTime(MediaTime time) {
    std::lock_guard guard(core_->stateLock);
    if (time.isValid())
        core_->sessionStart = time;
}

void Writer::finishWriting(std::function<void()> handler) {
    std::shared_ptr<WriterCore> core = core_;
    globalQueue().async([core, handler = std::move(handler)]() mutable {
        try {
            std::vector<std::shared_ptr<WriterInput>> inputs;
            {
                std::lock_guard guard(core->stateLock);
                inputs = core->inputs;
            }
            for (const auto& input : inputs)
                input->markAsFinished();
            std::lock_guard mux(core->muxLock);
            if (core->currentStatus() == Status::writing) {
                int ret = av_write_trailer(core->fmt);
                core->fmt->pb = nullptr;
                const int closed = avio_closep(&core->pb);
                if (ret >= 0)
                    ret = closed;
                if (ret < 0) {
                    core->fail(PlatformError::fromAv(ret));
                } else {
                    std::lock_guard guard(core->stateLock);
                    core->status = Status::completed;
                }
            }
        } catch (...) {
            core->failWithCurrent("Finishing the file");
        }
        // The handler is called whatever happened: it is how the caller learns the end. What
        // this task holds goes first, so that a caller told of the end and then waiting for
        // the writer to go is not kept waiting by this task.
        core.reset();
        try {
            if (handler)
                std::exchange(handler, nullptr)();
        } catch (...) { // the caller's own failure to report; nothing is left to tell
        }
    });
}

void Writer::cancelWriting() {
    bool cancelled = false;
    {
        std::lock_guard mux(core_->muxLock);
        {
            std::lock_guard guard(core_->stateLock);
            if (core_->status == Status::unknown || core_->status == Status::writing) {
                core_->status = Status::cancelled;
                cancelled = true;
            }
        }
        if (cancelled) {
            if (core_->fmt)
                core_->fmt->pb = nullptr;
            // The file is removed next, so a failed close loses nothing.
            if (core_->pb)
                avio_closep(&core_->pb);
            core_->removeFile();
        }
    }
    if (cancelled)
        core_->kick();
}

Writer::Status Writer::status() const {
    return core_->currentStatus();
}

std::optional<PlatformError> Writer::error() const {
    std::lock_guard guard(core_->stateLock);
    return core_->error;
}

const std::string& Writer::path() const {
    return core_->path;
}

} // namespace trimwell
